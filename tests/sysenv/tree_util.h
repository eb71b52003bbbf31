// Test helpers: the fixture machines and scratch trees of system files.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv_seams.h"

inline std::string fixture_root(const char* machine) {
    return std::string(QUILLMOTH_TEST_DIR) + "/sysenv/fixtures/" + machine;
}

// The Linux readers over a tree, on any build platform (uname still reads this machine).
inline ProbeReaders linux_tree_readers(const char* root) {
    ProbeReaders readers = system_probe_readers(root);
    readers.os_default = "Linux";
    readers.online_processors = linux_online_processors;
    readers.processor_name = linux_processor_name;
    readers.model = linux_model;
    readers.physical_cores = linux_physical_cores;
    readers.memory_bytes = linux_memory_bytes;
    readers.cache_bytes = linux_cache_bytes;
    readers.os_text = linux_os_text;
    return readers;
}

// A scratch root directory, removed with everything in it at the end of the scope.
class TempTree {
public:
    TempTree() {
        char pattern[] = "/tmp/qm_sysenv_XXXXXX";
        const char* dir = mkdtemp(pattern);
        root_ = dir ? dir : "";
    }
    ~TempTree() {
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const char* root() const { return root_.c_str(); }

    void write(const std::string& path, const std::string& bytes) const {
        const std::filesystem::path full = root_ + path;
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary | std::ios::trunc) << bytes;
    }

    void mkdir(const std::string& path) const { std::filesystem::create_directories(root_ + path); }

    // Copies one file of a fixture machine into this tree.
    void copy_from(const char* machine, const std::string& path) const {
        const std::filesystem::path full = root_ + path;
        std::filesystem::create_directories(full.parent_path());
        std::filesystem::copy_file(fixture_root(machine) + path, full,
                                   std::filesystem::copy_options::overwrite_existing);
    }

private:
    std::string root_;
};

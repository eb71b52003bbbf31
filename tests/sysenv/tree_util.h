// Test helpers: the fixture machines, scratch trees of system files, captured output.
//
// Fixture trees (hand-kept copies of real machines' files, with a few neighbours
// such as cpuidle/ and /proc/sys/ so directory scans meet what a real system has):
// server2s, two sockets of 8 two-thread cores; vm-nodmi, 4 vCPUs with no DMI, no L3,
// no core_cpus_list and os-release only under /usr/lib; laptop-hybrid, 4 two-thread
// and 8 single-thread cores with cpu15 offline; rockpro64, an arm64 board (4 Cortex-A53
// and 2 Cortex-A72) named by its device tree; graviton3, an arm64 cloud machine with DMI.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv.h"

inline std::string fixture_root(const char* machine) {
    return std::string(QUILLMOTH_TEST_DIR) + "/sysenv/fixtures/" + machine;
}

// The Linux readers over a tree, on any build platform, with a fixed uname answer.
inline ProbeReaders linux_tree_readers(const char* root) {
    return ProbeReaders{root, "Linux", linux_online_processors, linux_processor_name,
                        [](const char*, uint32_t*) { return 0; }, linux_model, linux_physical_cores,
                        linux_memory_bytes, linux_cache_bytes, linux_os_text,
                        [](char* sysname, size_t sysname_cap, char* release, size_t release_cap) {
                            std::snprintf(sysname, sysname_cap, "Linux");
                            std::snprintf(release, release_cap, "6.1.0");
                            return 1;
                        }};
}

// The probed record as one line, so a table row can state all of it.
inline std::string describe(const SystemInfo& i) {
    std::string s = std::string(i.cpu) + "|" + i.model + "|" + i.operating_system + "|" + i.kernel;
    for (int64_t v : {i.cpu_threads, i.cpu_cores, i.memory_mb, i.l1_cache_kb, i.l2_cache_kb, i.l3_cache_kb})
        s.append("|").append(std::to_string(v));
    return s;
}

// What print wrote to a stream.
template <typename Print>
std::string printed(Print print) {
    FILE* out = std::tmpfile();
    print(out);
    std::string text(8192, '\0');
    std::rewind(out);
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    return text;
}

// Stand for files that are there but cannot be read, even by root, whom permissions
// do not stop: a folder in the file's place opens and then fails to read; a link to
// itself fails to open.
constexpr const char* kUnreadable = nullptr;
constexpr const char* kUnopenable = "\x01loop";
using Files = std::vector<std::pair<std::string, const char*>>;

// A scratch root directory, removed with everything in it at the end of the scope.
struct TempTree {
    std::string root;
    explicit TempTree(const Files& files = {}) {
        char pattern[] = "/tmp/qm_sysenv_XXXXXX";
        root = mkdtemp(pattern) ? pattern : "/nonexistent";
        for (const auto& [path, bytes] : files) write(path, bytes);
    }
    TempTree(const TempTree&) = delete;
    ~TempTree() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    void write(const std::string& path, const char* bytes) const {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        if (bytes == kUnreadable)
            std::filesystem::create_directories(root + path);
        else if (bytes == kUnopenable)
            std::filesystem::create_symlink(root + path, root + path);
        else
            std::ofstream(root + path, std::ios::binary | std::ios::trunc) << bytes;
    }
};

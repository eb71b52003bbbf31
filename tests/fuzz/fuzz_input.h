// What the fuzz targets share: the input as exactly sized C strings, so that
// AddressSanitizer sees any read past a terminator, and a private file tree
// for the readers that take a root folder.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// A heap copy of bytes with a NUL after them and nothing more.
struct CString {
    std::unique_ptr<char[]> text;
    CString(const void* data, size_t size) : text(new char[size + 1]) {
        if (size > 0) std::memcpy(text.get(), data, size);
        text[size] = '\0';
    }
    explicit CString(const std::string& s) : CString(s.data(), s.size()) {}
    const char* get() const { return text.get(); }
};

// An output buffer of exactly cap bytes, filled with 'X'. Cap 0 hands out a
// pointer one past a one-byte block, so that touching it is still reported.
struct OutBuffer {
    size_t cap;
    std::unique_ptr<char[]> buffer;
    explicit OutBuffer(size_t c) : cap(c), buffer(new char[c == 0 ? 1 : c]) { std::memset(buffer.get(), 'X', c == 0 ? 1 : c); }
    char* get() { return buffer.get() + (cap == 0); }
    // The text a callee promises when it succeeds: NUL-terminated within cap.
    bool terminated() const { return cap == 0 || std::memchr(buffer.get(), '\0', cap) != nullptr; }
};

// The input cut at its NUL bytes (and nothing else), at most n pieces; the
// last piece keeps the rest, NULs included.
inline std::vector<std::string> split_at_nul(std::string rest, size_t n) {
    std::vector<std::string> pieces;
    for (size_t nul; pieces.size() + 1 < n && (nul = rest.find('\0')) != std::string::npos; rest.erase(0, nul + 1))
        pieces.push_back(rest.substr(0, nul));
    pieces.push_back(rest);
    return pieces;
}

// The input's lines, without their line ends, as the line readers hand them on.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A scratch copy of a machine's /proc, /sys and /etc for this process, in
// memory where there is a tmpfs: on a disk, the writes of every input slow a
// target down twentyfold. Null when QM_FUZZ_PARSERS_ONLY is set, for long runs
// that leave the files out and reach many more inputs.
struct FileTree {
    std::string root;
    FileTree() {
        const char* tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        root = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/qm_fuzz_XXXXXX";
        if (mkdtemp(root.data()) == nullptr) std::abort();
    }
    ~FileTree() { std::filesystem::remove_all(root); }
    // Writes root + path (an absolute path) with the given bytes.
    void write(const char* path, const std::string& data) const {
        std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
        if (!(std::ofstream(root + path, std::ios::binary) << data)) std::abort();
    }
};
inline const FileTree* fuzz_files() {
    static const bool files = std::getenv("QM_FUZZ_PARSERS_ONLY") == nullptr;
    if (!files) return nullptr;
    static const FileTree tree;
    return &tree;
}

// Ends the process the way libFuzzer reports a crash, with the broken promise.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

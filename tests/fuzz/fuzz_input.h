// What the fuzz targets share: the input as exactly sized C strings, so that
// AddressSanitizer sees any read past a terminator, and a private file tree
// for the readers that take a root folder.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// A heap copy of bytes with a NUL after them and nothing more.
class CString {
public:
    CString(const uint8_t* data, size_t size) : text_(new char[size + 1]) {
        if (size > 0) std::memcpy(text_, data, size);
        text_[size] = '\0';
    }
    explicit CString(const std::string& s) : CString(reinterpret_cast<const uint8_t*>(s.data()), s.size()) {}
    ~CString() { delete[] text_; }
    CString(const CString&) = delete;
    CString& operator=(const CString&) = delete;
    const char* get() const { return text_; }

private:
    char* text_;
};

// An output buffer of exactly cap bytes (at least one byte is allocated so
// that cap 0 still has an address; touching it is still reported).
class OutBuffer {
public:
    explicit OutBuffer(size_t cap) : cap_(cap), buffer_(static_cast<char*>(std::malloc(cap == 0 ? 1 : cap))) {
        std::memset(buffer_, 'X', cap == 0 ? 1 : cap);
    }
    ~OutBuffer() { std::free(buffer_); }
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;
    // cap 0 hands out a pointer one past a zero-sized block for the callee.
    char* get() { return cap_ == 0 ? buffer_ + 1 : buffer_; }
    size_t cap() const { return cap_; }
    // The text a callee promises when it succeeds: NUL-terminated within cap.
    bool terminated() const { return cap_ == 0 || std::memchr(buffer_, '\0', cap_) != nullptr; }

private:
    size_t cap_;
    char* buffer_;
};

// The input cut at its NUL bytes (and nothing else), at most n pieces; the
// last piece keeps the rest, NULs included.
inline std::vector<std::string> split_at_nul(const uint8_t* data, size_t size, size_t n) {
    std::vector<std::string> pieces;
    const char* p = reinterpret_cast<const char*>(data);
    const char* end = p + size;
    while (pieces.size() + 1 < n) {
        const char* nul = static_cast<const char*>(std::memchr(p, '\0', static_cast<size_t>(end - p)));
        if (nul == nullptr) break;
        pieces.emplace_back(p, nul);
        p = nul + 1;
    }
    pieces.emplace_back(p, end);
    return pieces;
}

// The input's lines, without their line ends, as the line readers hand them on.
inline std::vector<std::string> split_lines(const uint8_t* data, size_t size) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(data[i]));
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

// Whether the targets also write their input as files for the readers. The
// files cost most of the time of an execution, so a long run can leave them
// out with QM_FUZZ_PARSERS_ONLY=1 and reach many more inputs.
inline bool fuzz_files() {
    static const bool files = std::getenv("QM_FUZZ_PARSERS_ONLY") == nullptr;
    return files;
}

// A scratch copy of a machine's /proc, /sys and /etc for this process.
class FileTree {
public:
    // In memory where there is a tmpfs: on a disk, the writes of every input
    // slow a target down twentyfold.
    FileTree() {
        const char* tmp = std::getenv("TMPDIR");
        if (access("/dev/shm", W_OK) == 0) tmp = "/dev/shm";
        root_ = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/qm_fuzz_XXXXXX";
        if (mkdtemp(root_.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
    }
    ~FileTree() {
        for (auto it = files_.rbegin(); it != files_.rend(); ++it) unlink(it->c_str());
        for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) rmdir(it->c_str());
        rmdir(root_.c_str());
    }
    const char* root() const { return root_.c_str(); }

    // Writes root + path (an absolute path) with the given bytes.
    void write(const char* path, const void* data, size_t size) {
        const std::string full = root_ + path;
        for (size_t slash = full.find('/', root_.size() + 1); slash != std::string::npos;
             slash = full.find('/', slash + 1)) {
            const std::string dir = full.substr(0, slash);
            if (!known(dirs_, dir) && mkdir(dir.c_str(), 0700) == 0) dirs_.push_back(dir);
        }
        FILE* f = std::fopen(full.c_str(), "wb");
        if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
            std::perror(full.c_str());
            std::abort();
        }
        if (!known(files_, full)) files_.push_back(full);
    }
    void write(const char* path, const std::string& data) { write(path, data.data(), data.size()); }

private:
    static bool known(const std::vector<std::string>& paths, const std::string& path) {
        for (const std::string& p : paths)
            if (p == path) return true;
        return false;
    }
    std::string root_;
    std::vector<std::string> files_, dirs_;
};

// Ends the process the way libFuzzer reports a crash, with the broken promise.
#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                            \
        }                                                                            \
    } while (0)

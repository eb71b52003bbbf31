// Helpers of the upload tests: the loopback results server as a child
// process, captured output streams, and a fixed run record.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "submit/submit.h"

// Everything written to a FILE*, for comparing printed lines.
struct Capture {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&buffer, &size);
    ~Capture() {
        std::fclose(file);
        std::free(buffer);
    }
    std::string text() {
        std::fflush(file);
        return std::string(buffer, size);
    }
};

inline std::string read_whole_file(const std::string& path) {
    std::ostringstream data;
    data << std::ifstream(path, std::ios::binary).rdbuf();
    return data.str();
}

// tests/submit/results_server.py, serving one connection per reply on a
// loopback port. Modes: "answer", "close-early", "silent", "slow" (delay
// before the reply), "trickle" (one byte per delay) and "linger" (stays
// connected after its reply).
class ResultsServer {
public:
    explicit ResultsServer(const std::vector<std::string>& replies, const std::string& mode = "answer",
                           double delay = 0.0, int port = 0) {
        char dir[] = "/tmp/qm_submit_XXXXXX";
        if (mkdtemp(dir) == nullptr) return;
        dir_ = dir;
        for (size_t i = 0; i < replies.size(); ++i)
            std::ofstream(dir_ + "/reply" + std::to_string(i), std::ios::binary) << replies[i];
        const std::string command = "exec python3 '" QUILLMOTH_TEST_DIR "/submit/results_server.py' " + dir_ +
                                    " --port " + std::to_string(port) + " --mode " + mode + " --delay " +
                                    std::to_string(delay);
        // The server stops when its standard input closes.
        control_ = popen(command.c_str(), "w");
        if (control_ == nullptr) return;
        fcntl(fileno(control_), F_SETFD, FD_CLOEXEC);  // the program under test must not hold it open
        for (int waited_ms = 0; port_.empty() && waited_ms < 20000; waited_ms += 10) {
            usleep(10000);
            port_ = read_whole_file(dir_ + "/port");
        }
    }
    ~ResultsServer() {
        finish();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }
    ResultsServer(const ResultsServer&) = delete;
    ResultsServer& operator=(const ResultsServer&) = delete;

    const std::string& port() const { return port_; }  // empty when the server did not start
    // Stops the server and returns its wait status (0: it ended cleanly).
    int finish() {
        if (control_ != nullptr) status_ = pclose(control_);
        control_ = nullptr;
        return status_;
    }
    // "request", "report" or "summary", as results_server.py describes them.
    std::string file(const char* name) const { return read_whole_file(dir_ + "/" + name); }

private:
    std::string dir_, port_;
    FILE* control_ = nullptr;
    int status_ = -1;
};

// A fixed, recognisable run record for the document and the upload.
inline RunRecord sample_record() {
    RunRecord r = {};
    r.info = {"Sample CPU @ 3.00GHz", "Bench1,1", "Linux 6.1", "Clang 14.0.6", "Linux 6.1.0-18-amd64",
              4, 8, 16384, 32, 1024, -1};
    r.stats = {10, 2.5, 12.75, 8123, 312};
    r.duration_ms = 123456;
    for (int i = 0; i < kTestCount; ++i) {
        const uint64_t u = static_cast<uint64_t>(i);
        r.results[kRawMulti][i] = {1000.0 * (i + 1) + 0.5, 1000 + u, 0.5 + i / 8.0, 40 + u, 8};
        r.results[kRawSingle][i] = {125.25 * (i + 1), 2000 + u, 0.4 + i / 16.0, 30 + u, 1};
        r.results[kRealMulti][i] = {900.0 * (i + 1) + 0.1, 3000 + u, 0.45, 50, 8};
        r.results[kRealSingle][i] = {100.0 * (i + 1), 18446744073709551615ull - u, 0.6, 7, 1};
    }
    return r;
}

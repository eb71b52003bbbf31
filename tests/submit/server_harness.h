// Helpers of the upload tests: the loopback results server as a child
// process, captured output streams, and a fixed set of run results.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "submit/submit.h"

extern char** environ;

// Everything written to a FILE*, for comparing printed lines.
class Capture {
public:
    Capture() : file_(open_memstream(&buffer_, &size_)) {}
    ~Capture() {
        std::fclose(file_);
        std::free(buffer_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* file_;
};

inline std::string read_whole_file(const std::string& path) {
    std::string data;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return data;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.append(chunk, n);
    std::fclose(f);
    return data;
}

inline void write_whole_file(const std::string& path, const std::string& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

// tests/submit/results_server.py, started for one test. It serves one
// connection per reply (at least one) on a loopback port and records what it
// received.
class ResultsServer {
public:
    struct Options {
        std::string mode = "answer";
        std::vector<std::string> replies;  // raw reply bytes, one per connection; none: status and body
        int status = 201;   // 0: 201 for a valid document, 422 otherwise
        std::string body;
        double delay = 0.0;
        double lifetime = 20.0;
        std::string host = "127.0.0.1";
        int port = 0;  // 0: any free port
    };

    explicit ResultsServer(const Options& options) {
        char dir_template[] = "/tmp/qm_submit_XXXXXX";
        if (mkdtemp(dir_template) == nullptr) return;
        dir_ = dir_template;

        std::vector<std::string> args = {"python3",
                                         QUILLMOTH_TEST_DIR "/submit/results_server.py",
                                         "--host",
                                         options.host,
                                         "--port",
                                         std::to_string(options.port),
                                         "--mode",
                                         options.mode,
                                         "--status",
                                         std::to_string(options.status),
                                         "--body",
                                         options.body,
                                         "--delay",
                                         std::to_string(options.delay),
                                         "--lifetime",
                                         std::to_string(options.lifetime),
                                         "--record",
                                         dir_ + "/request",
                                         "--report",
                                         dir_ + "/report",
                                         "--summary",
                                         dir_ + "/summary"};
        for (const std::string& reply : options.replies) {
            const std::string path = dir_ + "/reply" + std::to_string(reply_files_++);
            write_whole_file(path, reply);
            args.push_back("--reply-file");
            args.push_back(path);
        }
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        int out_pipe[2], in_pipe[2];
        if (pipe(out_pipe) != 0) return;
        if (pipe(in_pipe) != 0) {
            close(out_pipe[0]);
            close(out_pipe[1]);
            return;
        }
        // Our ends stay with us: another child (the program under test) must
        // not keep the server's control pipe open.
        fcntl(in_pipe[1], F_SETFD, FD_CLOEXEC);
        fcntl(out_pipe[0], F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
        posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
        const int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in_pipe[0]);
        close(out_pipe[1]);
        control_ = in_pipe[1];
        if (rc != 0) {
            pid_ = -1;
            close(out_pipe[0]);
            return;
        }
        // The first line is "PORT <n>" once the server listens.
        std::string line;
        for (;;) {
            pollfd p = {out_pipe[0], POLLIN, 0};
            if (poll(&p, 1, 20000) <= 0) break;
            char c;
            if (read(out_pipe[0], &c, 1) != 1 || c == '\n') break;
            line.push_back(c);
        }
        close(out_pipe[0]);
        if (line.rfind("PORT ", 0) == 0) port_ = line.substr(5);
    }

    ~ResultsServer() {
        finish();
        if (!dir_.empty()) {
            for (const char* name : {"/request", "/report", "/summary"}) std::remove((dir_ + name).c_str());
            for (int i = 0; i < reply_files_; ++i) std::remove((dir_ + "/reply" + std::to_string(i)).c_str());
            rmdir(dir_.c_str());
        }
    }
    ResultsServer(const ResultsServer&) = delete;
    ResultsServer& operator=(const ResultsServer&) = delete;

    // Empty when the server did not start.
    const std::string& port() const { return port_; }

    // Tells the server to stop and waits for it; returns its exit status.
    int finish() {
        if (control_ >= 0) {
            close(control_);
            control_ = -1;
        }
        if (pid_ <= 0) return status_;
        int status = 0;
        for (int waited_ms = 0; waited_ms < 30000; waited_ms += 10) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                return status_;
            }
            usleep(10000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = 137;
        return status_;
    }

    std::string request() const { return read_whole_file(dir_ + "/request"); }
    std::string report() const { return read_whole_file(dir_ + "/report"); }
    std::string summary() const { return read_whole_file(dir_ + "/summary"); }

private:
    std::string dir_;
    std::string port_;
    pid_t pid_ = -1;
    int control_ = -1;
    int status_ = -1;
    int reply_files_ = 0;
};

// A fixed, recognisable set of run results for the document and the upload.
struct SampleRun {
    SystemInfo info;
    BackgroundStats stats;
    uint64_t duration_ms;
    TestResult raw_multi[kTestCount], raw_single[kTestCount];
    TestResult real_multi[kTestCount], real_single[kTestCount];

    SampleRun() {
        std::memset(&info, 0, sizeof info);
        std::snprintf(info.cpu, sizeof info.cpu, "Sample CPU @ 3.00GHz");
        std::snprintf(info.model, sizeof info.model, "Bench1,1");
        std::snprintf(info.operating_system, sizeof info.operating_system, "Linux 6.1");
        std::snprintf(info.compiler, sizeof info.compiler, "Clang 14.0.6");
        std::snprintf(info.kernel, sizeof info.kernel, "Linux 6.1.0-18-amd64");
        info.cpu_cores = 4;
        info.cpu_threads = 8;
        info.memory_mb = 16384;
        info.l1_cache_kb = 32;
        info.l2_cache_kb = 1024;
        info.l3_cache_kb = -1;
        stats = {10, 2.5, 12.75, 8123, 312};
        duration_ms = 123456;
        for (int i = 0; i < kTestCount; ++i) {
            raw_multi[i] = {1000.0 * (i + 1) + 0.5, 1000u + static_cast<uint64_t>(i), 0.5 + i / 8.0,
                            static_cast<uint64_t>(40 + i), 8};
            raw_single[i] = {125.25 * (i + 1), 2000u + static_cast<uint64_t>(i), 0.4 + i / 16.0,
                             static_cast<uint64_t>(30 + i), 1};
            real_multi[i] = {900.0 * (i + 1) + 0.1, 3000u + static_cast<uint64_t>(i), 0.45, 50u, 8};
            real_single[i] = {100.0 * (i + 1), 18446744073709551615ull - static_cast<uint64_t>(i), 0.6, 7u, 1};
        }
    }
};

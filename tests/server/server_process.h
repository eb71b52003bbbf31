// quillmoth-server as a child process. Its two output streams go to files, so
// a busy server never blocks on a pipe that nobody reads.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "server/harness.h"

class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args) {
        const int out = open((dir_.path + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((dir_.path + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv = {const_cast<char*>(QM_SERVER_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (out >= 0 && err >= 0) pid_ = fork();
        if (pid_ == 0) {
            // Goes when the test goes, even a test killed mid-way.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out, 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (out >= 0) close(out);
        if (err >= 0) close(err);
    }
    ~ServerProcess() { kill_now(); }

    // Waits until standard output holds text; false when the time is up or
    // the server exited first.
    bool wait_for_output(const std::string& text, int timeout_ms = 30000) {
        for (int waited = 0; waited < timeout_ms; waited += 10) {
            if (out().find(text) != std::string::npos) return true;
            if (!reap(false)) break;
            usleep(10000);
        }
        return out().find(text) != std::string::npos;
    }
    // Waits for the exit (killing after timeout_ms): the exit status, 256 for
    // a signal, 999 when it had to be killed.
    int finish(int timeout_ms = 20000) {
        for (int waited = 0; waited < timeout_ms && reap(false); waited += 10) usleep(10000);
        if (status_ < 0) {
            kill_now();
            status_ = 999;
        }
        return status_;
    }
    void signal(int sig) {
        if (status_ < 0 && pid_ > 0) kill(pid_, sig);
    }
    void kill_now() {
        signal(SIGKILL);
        reap(true);
    }
    // Stops as an operator would; true when it exited with status 0.
    bool stop() {
        signal(SIGTERM);
        return finish() == 0;
    }

    std::string out() const { return read_file(dir_.path + "/out"); }
    std::string err() const { return read_file(dir_.path + "/err"); }
    int port() const {
        static const std::string marker = "listening on http://127.0.0.1:";
        const std::string text = out();
        const size_t at = text.find(marker);
        return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + marker.size());
    }

private:
    // Collects the exit status; true while the process still runs.
    bool reap(bool block) {
        if (pid_ <= 0 || status_ >= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) return true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 256;
        return false;
    }

    TempDir dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

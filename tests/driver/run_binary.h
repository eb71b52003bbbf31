// Runs the real quillmoth binary with given arguments and standard input, and
// collects its output and exit status.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct BinaryRun {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out, err;
};

// stdin_text: nullptr closes standard input (reads see end of input at once).
// address_space_limit: bytes for RLIMIT_AS, 0 for none.
// stdout_to: nullptr captures standard output; "" closes it; else a path to write it to.
inline BinaryRun run_binary(const std::vector<std::string>& args, const char* stdin_text = nullptr,
                            rlim_t address_space_limit = 0, const char* binary = QUILLMOTH_BINARY,
                            const char* stdout_to = nullptr) {
    char out_path[] = "/tmp/qm_out_XXXXXX", err_path[] = "/tmp/qm_err_XXXXXX", in_path[] = "/tmp/qm_in_XXXXXX";
    const int out_fd = mkstemp(out_path), err_fd = mkstemp(err_path), in_fd = mkstemp(in_path);
    if (stdin_text != nullptr) {
        const std::string text(stdin_text);
        if (write(in_fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
        lseek(in_fd, 0, SEEK_SET);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err_fd, 2);
        if (stdout_to == nullptr) {
            dup2(out_fd, 1);
        } else if (stdout_to[0] == '\0') {
            close(1);
        } else {
            dup2(open(stdout_to, O_WRONLY), 1);
        }
        if (stdin_text != nullptr) {
            dup2(in_fd, 0);
        } else {
            close(0);
        }
        if (address_space_limit != 0) {
            struct rlimit lim = {address_space_limit, address_space_limit};
            setrlimit(RLIMIT_AS, &lim);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(binary));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(binary, argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    BinaryRun run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    auto slurp = [](int fd) {
        std::string s;
        lseek(fd, 0, SEEK_SET);
        char buf[4096];
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
        close(fd);
        return s;
    };
    run.out = slurp(out_fd);
    run.err = slurp(err_fd);
    close(in_fd);
    unlink(out_path);
    unlink(err_path);
    unlink(in_path);
    return run;
}

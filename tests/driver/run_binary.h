// Runs the real quillmoth binary with given arguments and standard input, and
// collects its output and exit status.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "emulator.h"

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
    FILE *in = std::tmpfile(), *out = std::tmpfile(), *err = std::tmpfile();
    if (stdin_text != nullptr) std::fputs(stdin_text, in);
    std::fflush(in);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(err), 2);
        stdout_to == nullptr ? dup2(fileno(out), 1) : *stdout_to ? dup2(open(stdout_to, O_WRONLY), 1) : close(1);
        stdin_text != nullptr ? dup2(fileno(in), 0) : close(0);
        lseek(0, 0, SEEK_SET);
        const rlimit lim = {address_space_limit, address_space_limit};
        if (address_space_limit != 0) setrlimit(RLIMIT_AS, &lim);
        std::vector<std::string> words;
        std::vector<char*> argv = program_argv(words, binary, args);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    BinaryRun run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    for (auto [f, text] : {std::pair{out, &run.out}, {err, &run.err}}) {
        std::rewind(f);
        for (int c; (c = std::fgetc(f)) != EOF;) text->push_back(static_cast<char>(c));
    }
    for (FILE* f : {in, out, err}) std::fclose(f);
    return run;
}

// The real probe and background readings on this machine, the probe with one
// descriptor to spare, and the program under a narrower affinity.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "emulator.h"
#include "tree_util.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace {

// The probe and the background check's readers on this machine (the check's steps
// are tested over scripted readings; its ten-second wait is not needed here).
TEST(Live, Readings) {
    SystemInfo info;
    probe_system_info(&info);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(info.cpu_threads, online >= 1 ? online : 1);
    EXPECT_TRUE(info.cpu_cores >= 1 && info.cpu_cores <= info.cpu_threads);
    EXPECT_TRUE(info.memory_mb > 1 && info.l1_cache_kb > 1 && info.l2_cache_kb > 0 && info.l3_cache_kb > 0);
    for (const char* text : {info.cpu, info.model, info.operating_system, info.kernel}) EXPECT_NE(text[0], '\0');
#if defined(__clang__)  // Clang also calls itself GNU C: it must be asked first
    const char* by = "Clang ";
#else
    const char* by = "GCC ";
#endif
    const std::string compiler = info.compiler;
    EXPECT_EQ(compiler.rfind(by, 0), 0u) << compiler;
    EXPECT_NE(compiler.back(), ' ');

    const BackgroundSource source = system_background_source();
    CpuTicks ticks{};
    uint64_t available = 0;
    int64_t processes = 0;
    ASSERT_TRUE(source.cpu_ticks("", &ticks) && source.available_memory_bytes("", &available) &&
                source.process_count("", &processes));
    EXPECT_TRUE(ticks.idle < ticks.total && available > 0 && (available >> 20) <= uint64_t(info.memory_mb));
    EXPECT_GT(processes, 0);
}

// The probe (describe() of it) with every descriptor but `spare` in use.
std::string probe_with_spare_descriptors(int spare) {
    const int lowest = open("/dev/null", O_RDONLY);  // the lowest free descriptor
    close(lowest);
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit scarce = {static_cast<rlim_t>(lowest + spare), saved.rlim_max};
    if (lowest < 0 || setrlimit(RLIMIT_NOFILE, &scarce) != 0) return "no limit";
    SystemInfo info;
    probe_system_info(&info);
    setrlimit(RLIMIT_NOFILE, &saved);
    return describe(info);
}

// With one descriptor to spare, the probe (opening a folder, then the files in it)
// reads what it reads with plenty. With none, the cache figures fall back to the C
// library's, as when sysfs has no cache folder.
TEST(Live, ProbeWithScarceDescriptors) {
    SystemInfo plain;
    probe_system_info(&plain);
    EXPECT_EQ(probe_with_spare_descriptors(1), describe(plain));
#if defined(_SC_LEVEL1_DCACHE_SIZE)
    const long l1d = sysconf(_SC_LEVEL1_DCACHE_SIZE), l1i = sysconf(_SC_LEVEL1_ICACHE_SIZE),
               l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
    char caches[64];
    std::snprintf(caches, sizeof caches, "|%ld|%ld|", (l1d + l1i) >> 10, l2 >> 10);
    if (l1d > 0 && l1i > 0 && l2 > 0) {
        EXPECT_NE(probe_with_spare_descriptors(0).find(caches), std::string::npos) << caches;
    }
#endif
}

#if defined(__linux__)
// The program on one processor of several: the line on standard error, then the first
// test's detail line with its multi-core pass on one thread. A whole run takes over a
// minute, so the program is stopped once that line has shown.
TEST(Live, ProgramOnOneProcessor) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t mine;
    ASSERT_EQ(sched_getaffinity(0, sizeof mine, &mine), 0);
    if (online < 2) GTEST_SKIP() << "needs two processors";
    int lowest = 0;
    while (!CPU_ISSET(lowest, &mine)) ++lowest;
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(lowest, &one);
        dup2(output[1], 1);
        dup2(output[1], 2);
        close(output[0]);
        close(output[1]);
        std::vector<std::string> words;
        const std::vector<std::string> args = {"-v", "--noupload", "--no-system-check"};
        std::vector<char*> argv = program_argv(words, QUILLMOTH_BINARY, args);
        if (sched_setaffinity(0, sizeof one, &one) == 0) execv(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    // The first test's figures: "1-core: <value> <unit>   <threads>-core: ".
    const auto figure_threads = [](const std::string& text) {
        const size_t at = text.find("\n" + std::string(29, ' ') + "1-core: ");
        int threads = -1, end = 0;
        if (at != std::string::npos) std::sscanf(text.c_str() + at, " 1-core: %*f %*s %d-core: %n", &threads, &end);
        return end > 0 ? threads : -1;
    };
    std::string text;
    int threads = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while ((threads = figure_threads(text)) < 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p = {output[0], POLLIN, 0};
        char chunk[4096];
        const ssize_t n = poll(&p, 1, 1000) > 0 ? read(output[0], chunk, sizeof chunk) : 0;
        if (n < 0 || (n == 0 && p.revents != 0)) break;  // the program ended or the pipe failed
        text.append(chunk, static_cast<size_t>(n > 0 ? n : 0));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(output[0]);
    char line[128];
    std::snprintf(line, sizeof line,
                  "  this process may use 1 of %ld logical processors; multi-core tests use 1 thread\n", online);
    EXPECT_EQ(text.rfind(line, 0), 0u) << text;
    EXPECT_NE(text.find(" / " + std::to_string(online) + " threads\n"), std::string::npos) << text;
    EXPECT_EQ(threads, 1) << text;
}
#endif

}  // namespace

// The real probe and the real background check on the machine running the tests.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sysenv/sysenv.h"

namespace {

TEST(LiveMachine, ProbeGivesSaneValues) {
    SystemInfo info;
    probe_system_info(&info);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(info.cpu_threads, online >= 1 ? online : 1);
    EXPECT_GE(info.cpu_cores, 1);
    EXPECT_LE(info.cpu_cores, info.cpu_threads);
    for (const char* text : {info.cpu, info.model, info.operating_system, info.compiler, info.kernel}) {
        EXPECT_NE(text[0], '\0');
    }
    EXPECT_GT(info.memory_mb, 1);
    EXPECT_GT(info.l1_cache_kb, 1);
    EXPECT_GT(info.l2_cache_kb, 0);
    EXPECT_GT(info.l3_cache_kb, 0);
    std::printf("  cpu: %s\n  model: %s\n  os: %s\n  kernel: %s\n  compiler: %s\n"
                "  cores %ld / threads %ld, memory %ld MB, L1 %ld / L2 %ld / L3 %ld KB\n",
                info.cpu, info.model, info.operating_system, info.kernel, info.compiler,
                static_cast<long>(info.cpu_cores), static_cast<long>(info.cpu_threads),
                static_cast<long>(info.memory_mb), static_cast<long>(info.l1_cache_kb),
                static_cast<long>(info.l2_cache_kb), static_cast<long>(info.l3_cache_kb));
}

TEST(LiveMachine, BackgroundCheckPrintsItsLines) {
    SystemInfo info;
    probe_system_info(&info);

    // The check writes to standard output; catch it in a file.
    std::fflush(stdout);
    FILE* capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    const int saved = dup(fileno(stdout));
    ASSERT_GE(saved, 0);
    ASSERT_GE(dup2(fileno(capture), fileno(stdout)), 0);
    BackgroundStats stats;
    check_background_activity(&info, &stats);
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);

    std::rewind(capture);
    char buf[4096];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, capture);
    std::fclose(capture);
    buf[n] = '\0';
    const std::string text = buf;
    std::printf("%s", text.c_str());

    const std::string head = "\n  checking background system activity for 10 seconds.......... done\n";
    ASSERT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(stats.sample_seconds, 10);  // the kernel's tick counters always move in a second
    EXPECT_GE(stats.background_cpu_peak_percent, stats.background_cpu_average_percent);
    EXPECT_LE(stats.background_cpu_peak_percent, 100.0);
    EXPECT_GT(stats.available_memory_mb, 0);
    EXPECT_LE(stats.available_memory_mb, info.memory_mb);
    EXPECT_GT(stats.process_count, 0);

    char cpu_line[128], memory_line[128], process_line[128];
    std::snprintf(cpu_line, sizeof cpu_line, "  background CPU: %.1f%% average / %.1f%% peak\n",
                  stats.background_cpu_average_percent, stats.background_cpu_peak_percent);
    std::snprintf(memory_line, sizeof memory_line, "  available memory: %ld MB of %ld MB\n",
                  static_cast<long>(stats.available_memory_mb), static_cast<long>(info.memory_mb));
    std::snprintf(process_line, sizeof process_line, "  processes: %ld\n", static_cast<long>(stats.process_count));
    std::string expected = head + cpu_line + memory_line + process_line;
    if (stats.background_cpu_average_percent >= 10.0)
        expected += "  warning: background CPU activity may reduce benchmark scores\n";
    EXPECT_EQ(text, expected);
}

}  // namespace

// The real probe and the real background check (about ten seconds) on this machine.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sysenv/sysenv.h"

namespace {

TEST(Live, ProbeAndBackgroundCheck) {
    SystemInfo info;
    probe_system_info(&info);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    EXPECT_EQ(info.cpu_threads, online >= 1 ? online : 1);
    EXPECT_TRUE(info.cpu_cores >= 1 && info.cpu_cores <= info.cpu_threads);
    for (const char* text : {info.cpu, info.model, info.operating_system, info.kernel}) EXPECT_NE(text[0], '\0');
#if defined(__clang__)  // Clang also calls itself GNU C
    const char* compiler = "Clang ";
#else
    const char* compiler = "GCC ";
#endif
    EXPECT_EQ(std::string(info.compiler).rfind(compiler, 0), 0u) << info.compiler;
    EXPECT_NE(info.compiler[std::string(info.compiler).size() - 1], ' ');
    EXPECT_TRUE(info.memory_mb > 1 && info.l1_cache_kb > 1 && info.l2_cache_kb > 0 && info.l3_cache_kb > 0);

    // The check prints on standard output: send that to a file meanwhile.
    std::fflush(stdout);
    FILE* capture = std::tmpfile();
    const int saved = dup(fileno(stdout));
    ASSERT_TRUE(capture && saved >= 0 && dup2(fileno(capture), fileno(stdout)) >= 0);
    BackgroundStats s;
    check_background_activity(&info, &s);
    std::fflush(stdout);
    dup2(saved, fileno(stdout));
    close(saved);
    std::string text(4096, '\0');
    std::rewind(capture);
    text.resize(std::fread(text.data(), 1, text.size(), capture));
    std::fclose(capture);
    std::printf("%s", text.c_str());

    EXPECT_EQ(s.sample_seconds, 10);  // the kernel's tick counters always move in a second
    EXPECT_TRUE(s.background_cpu_average_percent <= s.background_cpu_peak_percent &&
                s.background_cpu_peak_percent <= 100.0);
    EXPECT_TRUE(s.available_memory_mb > 0 && s.available_memory_mb <= info.memory_mb && s.process_count > 0);
    char lines[512];
    std::snprintf(lines, sizeof lines,
                  "\n  checking background system activity for 10 seconds.......... done\n"
                  "  background CPU: %.1f%% average / %.1f%% peak\n  available memory: %lld MB of %lld MB\n"
                  "  processes: %lld\n%s",
                  s.background_cpu_average_percent, s.background_cpu_peak_percent,
                  static_cast<long long>(s.available_memory_mb), static_cast<long long>(info.memory_mb),
                  static_cast<long long>(s.process_count),
                  s.background_cpu_average_percent >= 10.0
                      ? "  warning: background CPU activity may reduce benchmark scores\n"
                      : "");
    EXPECT_EQ(text, lines);
}

}  // namespace

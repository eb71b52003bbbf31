// The console report: exact texts and column positions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/report.h"

namespace {

template <typename F>
std::string capture(F print) {
    char* text = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&text, &len);
    print(out);
    std::fclose(out);
    std::string s(text, len);
    std::free(text);
    return s;
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    size_t start = 0;
    for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) v.push_back(s.substr(start, nl - start));
    return v;
}

// 1-based column of the last character of `token` in `line`.
size_t end_column(const std::string& line, const std::string& token) { return line.find(token) + token.size(); }
size_t start_column(const std::string& line, const std::string& token) { return line.find(token) + 1; }

SystemInfo sample_info() {
    SystemInfo info{};
    std::strcpy(info.cpu, "Example CPU @ 3.00GHz");
    std::strcpy(info.operating_system, "Linux 6");
    std::strcpy(info.compiler, "GCC 12.2.0");
    info.cpu_cores = 8;
    info.cpu_threads = 16;
    info.memory_mb = 32768;
    info.l1_cache_kb = 80;
    info.l2_cache_kb = 1280;
    info.l3_cache_kb = 24576;
    return info;
}

}  // namespace

TEST(Report, MachineDescription) {
    const SystemInfo info = sample_info();
    EXPECT_EQ(capture([&](FILE* f) { print_machine(f, &info); }),
              "\n"
              "  quillmoth 0.4.2 - multi-core CPU benchmark\n"
              "  ------------------------------------------------------------------\n"
              "  CPU:       Example CPU @ 3.00GHz\n"
              "  model:     unknown\n"
              "  cores:     8 physical / 16 threads\n"
              "  memory:    32768 MB\n"
              "  caches:    L1 80 KB / L2 1280 KB / L3 24576 KB\n"
              "  OS:        Linux 6 (x86-64)\n"
              "  kernel:    unknown\n"
              "  compiler:  GCC 12.2.0\n"
              "\n");
}

TEST(Report, HeaderResultAndTotalColumns) {
    const auto header = lines(capture(print_table_header));
    ASSERT_EQ(header.size(), 2u);
    EXPECT_EQ(start_column(header[0], "TEST"), 3u);
    EXPECT_EQ(end_column(header[0], "RATE"), 39u);
    EXPECT_EQ(start_column(header[0], "UNIT"), 42u);
    EXPECT_EQ(end_column(header[0], "TIME"), 61u);
    EXPECT_EQ(header[1], "  " + std::string(74, '-'));

    const TestResult multi = {12345.678, 1, 1.234, 10, 16}, single = {1000.04, 1, 0.9, 10, 1};
    const std::string line = capture([&](FILE* f) {
        print_test_name(f, 8);  // "Sorting", unit "Mkey-cmp/s"
        print_test_result(f, 8, &multi, &single, false, 16);
    });
    EXPECT_EQ(line, "  Sorting                       12345.7  Mkey-cmp/s     1.23s\n");
    EXPECT_EQ(end_column(line, "12345.7"), 39u);
    EXPECT_EQ(start_column(line, "Mkey-cmp/s"), 42u);
    EXPECT_EQ(end_column(line, "1.23"), 60u);
    EXPECT_EQ(line[60], 's');

    const std::string longest = capture([&](FILE* f) { print_test_name(f, 4); });
    EXPECT_EQ(longest, "  Extended Instructions   ");

    const std::string total = capture([](FILE* f) { print_total(f, 123456); });
    EXPECT_EQ(total, "  TOTAL DURATION                                              123.46s\n\n");
    EXPECT_EQ(end_column(total, "123.46"), 68u);
}

TEST(Report, LatencyShowsNanosecondsAndVerboseAddsTwoLines) {
    const TestResult multi = {20.0, 1, 0.3, 3, 2}, single = {10.0, 1, 0.6, 3, 1};
    const auto v = lines(capture([&](FILE* f) {
        print_test_name(f, kMemoryLatencyIndex);
        print_test_result(f, kMemoryLatencyIndex, &multi, &single, true, 2);
    }));
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0], "  Memory Latency                  100.0  ns/access      0.30s");
    EXPECT_EQ(v[1], std::string(29, ' ') + "dependent-load pointer chase, 16 MiB");
    EXPECT_EQ(v[2], std::string(29, ' ') + "1-core: 200.0 ns/access   2-core: 100.0 ns/access");
}

TEST(Report, OneThreadNamesOneCoreTwice) {
    const TestResult multi = {5.5, 1, 1.0, 1, 1}, single = {5.25, 1, 1.0, 1, 1};
    const auto v = lines(capture([&](FILE* f) { print_test_result(f, 0, &multi, &single, true, 1); }));
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[2], std::string(29, ' ') + "1-core: 5.2 Mops/s   1-core: 5.5 Mops/s");
}

TEST(Report, SuiteHeadingsAndRules) {
    EXPECT_EQ(capture([](FILE* f) { print_suite_heading(f, false); }), "  RAW score suite (architecture assembly)\n");
    EXPECT_EQ(capture([](FILE* f) { print_suite_heading(f, true); }),
              "  " + std::string(74, '-') + "\n  REAL score suite (optimised portable C)\n");
    EXPECT_EQ(capture(print_closing_rule), "  " + std::string(74, '-') + "\n");
}

// One whole run of the real binary: the shape of the report, line by line.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "run_binary.h"
#include "workloads/workloads.h"

namespace {

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> v;
    size_t start = 0;
    for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) v.push_back(s.substr(start, nl - start));
    if (start < s.size()) v.push_back(s.substr(start));
    return v;
}

std::string padded(const char* text, size_t width) {
    std::string s(text);
    s.resize(width > s.size() ? width : s.size(), ' ');
    return s;
}

std::string escape_regex(const std::string& s) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}

void expect_suite(const std::vector<std::string>& v, size_t first) {
    for (int i = 0; i < kTestCount; ++i) {
        const std::string want = "  " + escape_regex(padded(tests[i].name, 24)) + " +[0-9]+\\.[0-9]  " +
                                 escape_regex(padded(tests[i].unit, 11)) + " +[0-9]+\\.[0-9]{2}s";
        ASSERT_LT(first + i, v.size());
        const std::string& line = v[first + i];
        EXPECT_TRUE(std::regex_match(line, std::regex(want))) << line;
        EXPECT_EQ(line.size(), 61u) << line;
    }
}

}  // namespace

TEST(FullRun, NoUploadPrintsTheWholeReportAndReadsNothing) {
    // A "y" on standard input must not be read, and no question is asked.
    const BinaryRun r = run_binary({"--noupload", "--no-system-check"}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> v = split_lines(r.out);
    ASSERT_EQ(v.size(), 45u) << r.out;
    const std::string long_rule = "  " + std::string(74, '-');

    EXPECT_EQ(v[0], "");
    EXPECT_EQ(v[1], "  preparing workloads... done");
    EXPECT_EQ(v[2], "");
    EXPECT_EQ(v[3], "  quillmoth 0.4.2 - multi-core CPU benchmark");
    EXPECT_EQ(v[4], "  " + std::string(66, '-'));
    const char* labels[] = {"  CPU:       ", "  model:     ", "  cores:     ", "  memory:    ",
                            "  caches:    ", "  OS:        ", "  kernel:    ", "  compiler:  "};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(v[5 + i].rfind(labels[i], 0), 0u) << v[5 + i];
    EXPECT_TRUE(std::regex_match(v[7], std::regex("  cores:     [0-9]+ physical / [1-9][0-9]* threads"))) << v[7];
    EXPECT_TRUE(std::regex_search(v[10], std::regex(" \\(x86-64\\)$"))) << v[10];
    EXPECT_EQ(v[13], "");
    EXPECT_EQ(v[14], "  TEST                             RATE  UNIT            TIME");
    EXPECT_EQ(v[15], long_rule);
    EXPECT_EQ(v[16], "  RAW score suite (architecture assembly)");
    expect_suite(v, 17);
    EXPECT_EQ(v[28], long_rule);
    EXPECT_EQ(v[29], "  REAL score suite (optimised portable C)");
    expect_suite(v, 30);
    EXPECT_EQ(v[41], long_rule);
    EXPECT_TRUE(std::regex_match(v[42], std::regex("  TOTAL DURATION {16,}[0-9]+\\.[0-9]{2}s"))) << v[42];
    EXPECT_EQ(v[42].size(), 69u);
    EXPECT_EQ(v[43], "");
    EXPECT_EQ(v[44], "  Result was not uploaded.");
}

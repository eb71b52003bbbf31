// The result document: exact text, escaping, number formats and overflow.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

std::string build(const SampleRun& run) {
    static char doc[kDocumentCapacity];
    size_t length = 0;
    EXPECT_EQ(build_result_document(doc, &length, &run.info, &run.stats, run.duration_ms, run.raw_multi,
                                    run.raw_single, run.real_multi, run.real_single),
              1);
    EXPECT_EQ(std::strlen(doc), length);
    return std::string(doc, length);
}

std::string escape(const char* src, size_t capacity) {
    char out[600];
    std::memset(out, 'X', sizeof out);
    json_escape(src, out, capacity);
    EXPECT_LT(std::strlen(out), capacity);
    EXPECT_EQ(out[capacity], 'X') << "wrote past the capacity";
    return out;
}

TEST(Document, MatchesGoldenText) {
    std::string golden = read_whole_file(QUILLMOTH_TEST_DIR "/submit/golden_document.json");
    ASSERT_FALSE(golden.empty());
    if (golden.back() == '\n') golden.pop_back();
    EXPECT_EQ(build(SampleRun()), golden);
}

TEST(Document, SkippedSystemCheck) {
    SampleRun run;
    run.stats = kBackgroundSkipped;
    EXPECT_NE(build(run).find("\"system_environment\":{\"kernel\":\"Linux 6.1.0-18-amd64\",\"sample_seconds\":0,"
                              "\"background_cpu_average_percent\":0,\"background_cpu_peak_percent\":0,"
                              "\"available_memory_mb\":-1,\"process_count\":-1},\"raw_tests\":[{\"id\""),
              std::string::npos);
}

TEST(Document, DisplayMetricAndLargestChecksum) {
    SampleRun run;
    run.raw_multi[kMemoryLatencyIndex] = {5.0, 7, 0.5, 50, 8};  // 0.5 s / 50e6 loads = 10 ns
    run.raw_multi[8] = {5.0, 18446744073709551615ull, 0.5, 50, 8};
    const std::string doc = build(run);
    EXPECT_NE(doc.find("\"id\":\"memory_latency\",\"name\":\"Memory Latency\",\"detail\":\"dependent-load pointer "
                       "chase, 16 MiB\",\"unit\":\"ns/access\",\"start_iterations\":1,\"work_per_iteration\":1000000,"
                       "\"multicore\":{\"display_metric\":10,\"rate\":5,\"seconds\":0.5,\"iterations\":50,"
                       "\"threads\":8,\"checksum\":\"7\"}"),
              std::string::npos);
    EXPECT_NE(doc.find("\"id\":\"sorting\""), std::string::npos);
    EXPECT_NE(doc.find("\"iterations\":50,\"threads\":8,\"checksum\":\"18446744073709551615\"}"), std::string::npos);
}

TEST(Document, EscapesTheMachineTexts) {
    SampleRun run;
    std::snprintf(run.info.cpu, sizeof run.info.cpu, "a\"b\\c\td\x01" "e\xc3\xa9\x7f");
    std::snprintf(run.info.kernel, sizeof run.info.kernel, "line\nfeed\rret");
    const std::string doc = build(run);
    EXPECT_EQ(doc.rfind("{\"cpu\":\"a\\\"b\\\\c\\tde\xc3\xa9\x7f\",\"model\"", 0), 0u);
    EXPECT_NE(doc.find("\"kernel\":\"line\\nfeed\\rret\""), std::string::npos);
}

TEST(JsonEscape, Rules) {
    EXPECT_EQ(escape("plain \xe2\x82\xac text", 64), "plain \xe2\x82\xac text");
    EXPECT_EQ(escape("\x01\x02\x1f\x7f", 64), "\x7f");
    // An escape is written whole or not at all, and the output ends there.
    EXPECT_EQ(escape("ab\"cd", 4), "ab");
    EXPECT_EQ(escape("ab\"cd", 5), "ab\\\"");
    EXPECT_EQ(escape("abcdef", 4), "abc");
    EXPECT_EQ(escape("abc", 1), "");
}

TEST(JsonEscape, FullFieldOfQuotesFitsItsCopy) {
    char cpu[256];
    std::memset(cpu, '"', 255);
    cpu[255] = '\0';
    std::string expected;
    for (int i = 0; i < 255; ++i) expected += "\\\"";
    EXPECT_EQ(escape(cpu, 512), expected);
    // One more quotation mark does not fit: never half an escape.
    char more[300];
    std::memset(more, '"', 256);
    more[256] = '\0';
    EXPECT_EQ(escape(more, 512), expected);
}

// Byte offsets just past each test object of one suite.
std::vector<size_t> object_ends(const SampleRun& run) {
    static char doc[kDocumentCapacity];
    size_t length = 0;
    EXPECT_EQ(append_result_tests(doc, &length, run.raw_multi, run.raw_single), 1);
    const std::string text(doc, length);
    std::vector<size_t> ends;
    for (size_t at = text.find("}},{\"id\""); at != std::string::npos; at = text.find("}},{\"id\"", at + 1))
        ends.push_back(at + 2);
    ends.push_back(length);
    return ends;
}

TEST(Document, ObjectsThatDoNotFitStopAtTheLastWholeOne) {
    SampleRun run;
    const std::vector<size_t> ends = object_ends(run);
    ASSERT_EQ(ends.size(), static_cast<size_t>(kTestCount));
    static char doc[kDocumentCapacity];
    // The fourth object needs one byte more than its own length for the NUL.
    size_t length = 0;
    EXPECT_EQ(append_result_tests_in(doc, ends[3], &length, run.raw_multi, run.raw_single), 0);
    EXPECT_EQ(length, ends[2]);
    length = 0;
    EXPECT_EQ(append_result_tests_in(doc, ends[3] + 1, &length, run.raw_multi, run.raw_single), 0);
    EXPECT_EQ(length, ends[3]);
    // Near the end of the real buffer nothing more fits.
    length = kDocumentCapacity - 100;
    EXPECT_EQ(append_result_tests(doc, &length, run.raw_multi, run.raw_single), 0);
    EXPECT_EQ(length, kDocumentCapacity - 100);
}

TEST(Document, DocumentThatDoesNotFitFailsAsAWhole) {
    SampleRun run;
    static char doc[kDocumentCapacity];
    const size_t full = build(run).size();
    auto build_in = [&](size_t capacity, size_t* length) {
        return build_result_document_in(doc, capacity, length, &run.info, &run.stats, run.duration_ms, run.raw_multi,
                                        run.raw_single, run.real_multi, run.real_single);
    };
    // The closing "]}}" is written only with five bytes to spare.
    size_t length = 0;
    EXPECT_EQ(build_in(full + 2, &length), 1);
    EXPECT_EQ(length, full);
    for (size_t capacity : {full + 1, full - 2, full - 3, size_t{2000}, size_t{200}, size_t{1}}) {
        length = 77;
        EXPECT_EQ(build_in(capacity, &length), 0) << capacity;
        EXPECT_EQ(length, 77u) << capacity;
    }
}

}  // namespace

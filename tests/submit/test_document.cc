// The result document: exact text, escaping, and what happens when it does not fit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

char doc[kDocumentCapacity];

std::string build(const RunRecord& record) {
    size_t length = 0;
    EXPECT_EQ(build_result_document(doc, &length, &record), 1);
    EXPECT_EQ(std::strlen(doc), length);
    return std::string(doc, length);
}

TEST(Document, MatchesGoldenText) {
    std::string golden = read_whole_file(QUILLMOTH_TEST_DIR "/submit/golden_document.json");
    ASSERT_FALSE(golden.empty());
    if (golden.back() == '\n') golden.pop_back();
    RunRecord record = sample_record();
    EXPECT_EQ(build(record), golden);
    // Spelled out, so that a regenerated golden file cannot hide them: the
    // latency display metric is ns per access (1.625 s / 49e6 loads), and
    // checksums are strings, 2^64-1 included.
    EXPECT_NE(golden.find("\"display_metric\":33.163265306122447,\"rate\":10000.5,\"seconds\":1.625,\"iterations\":49"),
              std::string::npos);
    EXPECT_NE(golden.find("\"checksum\":\"18446744073709551615\""), std::string::npos);
    // Noisy runs and threads that could not start are warned about, never sent.
    for (auto& pass : record.notes)
        for (PassNotes& notes : pass) notes = {0.4, 0.9, 3};
    EXPECT_EQ(build(record), golden);

    record.stats = kBackgroundSkipped;
    EXPECT_NE(build(record).find("\"system_environment\":{\"kernel\":\"Linux 6.1.0-18-amd64\",\"sample_seconds\":0,"
                                 "\"background_cpu_average_percent\":0,\"background_cpu_peak_percent\":0,"
                                 "\"available_memory_mb\":-1,\"process_count\":-1},\"raw_tests\":[{\"id\""),
              std::string::npos);
}

TEST(Document, EscapesTheMachineTexts) {
    RunRecord record = sample_record();
    std::snprintf(record.info.cpu, sizeof record.info.cpu, "a\"b\\c\td\001e\xc3\xa9");  // byte 1 is dropped
    std::snprintf(record.info.kernel, sizeof record.info.kernel, "line\nfeed\rret");
    std::string quotes;  // a full field of quotation marks fills its copy exactly
    for (int i = 0; i < 255; ++i) quotes += "\\\"";
    std::memset(record.info.model, '"', 255);
    const std::string text = build(record);
    EXPECT_EQ(text.rfind("{\"cpu\":\"a\\\"b\\\\c\\tde\xc3\xa9\",\"model\":\"" + quotes + "\",\"cpu_cores\"", 0), 0u);
    EXPECT_NE(text.find("\"kernel\":\"line\\nfeed\\rret\""), std::string::npos);

    // An escape that does not fit whole is left out with everything after it.
    char out[8];
    json_escape("ab\"cd", out, 4);
    EXPECT_STREQ(out, "ab");
    json_escape("ab\"cd", out, 5);
    EXPECT_STREQ(out, "ab\\\"");
}

TEST(Document, WhatDoesNotFitFailsAtTheLastWholeObjectOrAsAWhole) {
    const RunRecord record = sample_record();
    static char whole[kDocumentCapacity];
    size_t full = 0;
    ASSERT_EQ(append_result_tests(whole, &full, record.results[kRawMulti], record.results[kRawSingle]), 1);
    for (size_t capacity = 1; capacity <= full + 1; ++capacity) {
        size_t length = 0;
        ASSERT_EQ(append_result_tests_with(doc, capacity, &length, record.results[kRawMulti],
                                           record.results[kRawSingle]),
                  capacity > full ? 1 : 0);
        ASSERT_LT(length, capacity);
        ASSERT_TRUE(length == 0 || (whole[length - 1] == '}' && (length == full || whole[length] == ','))) << capacity;
        ASSERT_EQ(std::memcmp(doc, whole, length), 0) << capacity;
    }

    const size_t document = build(record).size();
    // The closing "]}}" is written only with five bytes to spare.
    size_t length = 0;
    EXPECT_EQ(build_result_document_with(doc, document + 2, &length, &record), 1);
    EXPECT_EQ(length, document);
    for (size_t capacity : {document + 1, document - 2, document - 3, size_t{2000}, size_t{200}, size_t{1}}) {
        length = 77;
        EXPECT_EQ(build_result_document_with(doc, capacity, &length, &record), 0) << capacity;
        EXPECT_EQ(length, 77u) << capacity;
    }
}

}  // namespace

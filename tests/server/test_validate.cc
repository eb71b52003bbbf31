// The document rules: the golden document passes, and each broken document
// is refused with a message that names the one rule it breaks.
#include <cmath>

#include "server/harness.h"

namespace {

using nlohmann::ordered_json;

std::vector<std::string> errors_of(const std::string& body) {
    ResultSummary summary;
    std::vector<std::string> errors;
    const int valid = validate_document(body, &summary, &errors);
    EXPECT_EQ(valid, errors.empty() ? 1 : 0);
    return errors;
}

TEST(Validate, GoldenDocumentIsAcceptedAndItsColumnsExtracted) {
    ResultSummary s;
    std::vector<std::string> errors;
    ASSERT_EQ(validate_document(golden_document(), &s, &errors), 1) << (errors.empty() ? "" : errors[0]);
    EXPECT_EQ(s.cpu, "Sample CPU @ 3.00GHz");
    EXPECT_EQ(s.model, "Bench1,1");
    EXPECT_EQ(s.operating_system, "Linux 6.1");
    EXPECT_EQ(s.compiler, "Clang 14.0.6");
    EXPECT_EQ(s.cores, 4);
    EXPECT_EQ(s.threads, 8);
    // display_metric, not rate: latency is the time per access.
    EXPECT_DOUBLE_EQ(s.figures[kSuiteRaw][kPassMulti][kMemoryLatencyIndex], 33.163265306122447);
    EXPECT_DOUBLE_EQ(s.figures[kSuiteReal][kPassSingle][0], 100);
    EXPECT_DOUBLE_EQ(s.figures[kSuiteReal][kPassMulti][10], 9900.1000000000004);
}

// Each case edits the golden document at one place; "delete" removes the key.
struct Broken {
    const char* name;
    const char* pointer;
    const char* value;  // JSON text, or "delete"
    const char* rule;   // a substring of the expected message
};

const Broken kBroken[] = {
    {"missing_top_key", "/cpu", "delete", "missing key: cpu"},
    {"missing_nested_key", "/score_details/raw_tests/3/multicore/seconds", "delete",
     "missing key: score_details.raw_tests[3].multicore.seconds"},
    {"unknown_key", "/extra", "1", "unknown key: extra"},
    {"text_as_number", "/cpu", "42", "wrong type: cpu must be a string"},
    {"count_as_text", "/cpu_threads", "\"8\"", "wrong type: cpu_threads must be an integer"},
    {"fraction_for_integer", "/score_details/real_tests/0/multicore/iterations", "50.5",
     "wrong type: score_details.real_tests[0].multicore.iterations must be an integer"},
    {"object_as_array", "/score_details/system_environment", "[]",
     "wrong type: score_details.system_environment must be an object"},
    {"tests_as_object", "/score_details/real_tests", "{}", "wrong type: score_details.real_tests must be an array"},
    {"wrong_suite", "/workload_suite", "\"quillmoth-cpu-v1\"", "workload_suite must be \"quillmoth-cpu-v2\""},
    {"ten_tests", "/score_details/raw_tests/10", "delete", "score_details.raw_tests must hold 11 tests"},
    {"tests_swapped", "/score_details/real_tests/4/id", "\"compression\"",
     "score_details.real_tests[4].id must be \"extended_instructions\""},
    {"zero_threads", "/score_details/raw_tests/2/singlecore/threads", "0",
     "not positive: score_details.raw_tests[2].singlecore.threads"},
    {"negative_threads", "/score_details/raw_tests/2/multicore/threads", "-8",
     "not positive: score_details.raw_tests[2].multicore.threads"},
    {"zero_cores", "/cpu_cores", "0", "not positive: cpu_cores"},
    {"negative_rate", "/score_details/raw_tests/5/multicore/rate", "-1.5",
     "negative: score_details.raw_tests[5].multicore.rate"},
    {"negative_seconds", "/score_details/real_tests/1/singlecore/seconds", "-0.5",
     "negative: score_details.real_tests[1].singlecore.seconds"},
    {"negative_percent", "/score_details/system_environment/background_cpu_peak_percent", "-1",
     "negative: score_details.system_environment.background_cpu_peak_percent"},
    {"checksum_as_number", "/score_details/raw_tests/0/multicore/checksum", "1000",
     "wrong type: score_details.raw_tests[0].multicore.checksum must be a string"},
    {"checksum_over_64_bits", "/score_details/real_tests/0/singlecore/checksum", "\"18446744073709551616\"",
     "bad checksum: score_details.real_tests[0].singlecore.checksum"},
    {"checksum_not_decimal", "/score_details/real_tests/0/multicore/checksum", "\"0x1f\"",
     "bad checksum: score_details.real_tests[0].multicore.checksum"},
    {"checksum_empty", "/score_details/real_tests/6/multicore/checksum", "\"\"",
     "bad checksum: score_details.real_tests[6].multicore.checksum"},
    {"checksum_leading_zero", "/score_details/raw_tests/6/multicore/checksum", "\"01006\"",
     "bad checksum: score_details.raw_tests[6].multicore.checksum"},
    {"cpu_too_long", "/cpu", "long:256", "text too long: cpu holds more than 255 bytes"},
    {"kernel_too_long", "/score_details/system_environment/kernel", "long:128",
     "text too long: score_details.system_environment.kernel"},
    {"unknown_below_minus_one", "/memory_mb", "-2", "out of range: memory_mb must be -1 or more"},
    {"negative_duration", "/duration_ms", "-1", "negative: duration_ms must not be negative"},
};

class BrokenDocument : public testing::TestWithParam<Broken> {};

TEST_P(BrokenDocument, IsRefusedNamingItsRule) {
    const Broken& b = GetParam();
    ordered_json doc = ordered_json::parse(golden_document());
    const ordered_json::json_pointer at(b.pointer);
    const std::string value = b.value;
    if (value == "delete") {
        doc[at.parent_pointer()].is_array() ? doc[at.parent_pointer()].erase(std::stoul(at.back()))
                                            : static_cast<void>(doc[at.parent_pointer()].erase(at.back()));
    } else if (value.rfind("long:", 0) == 0) {
        doc[at] = std::string(std::stoul(value.substr(5)), 'x');
    } else {
        doc[at] = ordered_json::parse(value, nullptr, false);
    }
    const auto errors = errors_of(doc.dump());
    ASSERT_EQ(errors.size(), 1u) << (errors.empty() ? "accepted" : errors[0] + " / " + errors.back());
    EXPECT_NE(errors[0].find(b.rule), std::string::npos) << errors[0];
}

INSTANTIATE_TEST_SUITE_P(OneRuleEach, BrokenDocument, testing::ValuesIn(kBroken),
                         [](const testing::TestParamInfo<Broken>& info) { return std::string(info.param.name); });

// Whole-body faults that stop the check before any key is looked at.
TEST(Validate, BodiesThatAreNotADocument) {
    const std::string golden = golden_document();
    const struct {
        std::string body;
        const char* rule;
    } cases[] = {
        {"", "not JSON"},
        {golden.substr(0, golden.size() - 1), "not JSON"},
        {"[1,2,3]", "must be a JSON object"},
        {"\"text\"", "must be a JSON object"},
        {"{\"cpu\":\"a\",\"cpu\":\"b\"}", "duplicate key: cpu"},
        {std::string(100, '[') + std::string(100, ']'), "nested too deeply"},
        {"{\"cpu\":\"\xff\xfe\"}", "not JSON"},  // not UTF-8
        // A figure beyond a double's range never becomes infinity: the parse refuses it.
        {"{\"rate\":1e400}", "not JSON"},
        {golden + std::string(kMaxDocumentBytes, ' '), "too large"},
    };
    for (const auto& c : cases) {
        const auto errors = errors_of(c.body);
        ASSERT_EQ(errors.size(), 1u) << c.rule;
        EXPECT_NE(errors[0].find(c.rule), std::string::npos) << errors[0];
    }
}

TEST(Validate, EveryFailedRuleIsNamed) {
    ordered_json doc = ordered_json::parse(golden_document());
    doc.erase("model");
    doc["cpu_threads"] = 0;
    doc["score_details"]["real_tests"][2]["singlecore"]["rate"] = -3;
    const auto errors = errors_of(doc.dump());
    ASSERT_EQ(errors.size(), 3u);
}

// Boundary values the benchmark really writes must pass.
TEST(Validate, LimitsThatAreStillValid) {
    const struct {
        const char* pointer;
        const char* value;
    } cases[] = {
        {"/score_details/real_tests/0/singlecore/checksum", "\"18446744073709551615\""},
        {"/score_details/raw_tests/0/multicore/checksum", "\"0\""},
        {"/l3_cache_kb", "-1"},
        {"/score_details/system_environment/available_memory_mb", "-1"},
        {"/score_details/raw_tests/0/multicore/rate", "0"},
        {"/cpu", "long:255"},
        {"/cpu", "\"\\\"quoted\\\" \\\\ <b>\\t\""},
    };
    for (const auto& c : cases) {
        ordered_json doc = ordered_json::parse(golden_document());
        const std::string value = c.value;
        doc[ordered_json::json_pointer(c.pointer)] = value.rfind("long:", 0) == 0
                                                         ? ordered_json(std::string(std::stoul(value.substr(5)), 'x'))
                                                         : ordered_json::parse(value);
        EXPECT_TRUE(errors_of(doc.dump()).empty()) << c.pointer << " = " << c.value;
    }
}

}  // namespace

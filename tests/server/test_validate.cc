// The document rules, each named in its refusal. Random documents go to the
// validator through its libFuzzer target (tests/fuzz/validate_target.cc).
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
    EXPECT_EQ(std::tie(s.cpu, s.model, s.operating_system, s.compiler, s.cores, s.threads),
              std::make_tuple("Sample CPU @ 3.00GHz", "Bench1,1", "Linux 6.1", "Clang 14.0.6", 4, 8));
    // display_metric, not rate: latency is the time per access.
    EXPECT_DOUBLE_EQ(s.figures[kSuiteRaw][kPassMulti][kMemoryLatencyIndex], 33.163265306122447);
    EXPECT_DOUBLE_EQ(s.figures[kSuiteReal][kPassSingle][0], 100);
    EXPECT_DOUBLE_EQ(s.figures[kSuiteReal][kPassMulti][10], 9900.1000000000004);
}

// Each case edits the golden document at one place; "delete" removes the key.
TEST(Validate, EachBrokenRuleIsNamedAndBoundariesPass) {
    const struct {
        const char* pointer;
        const char* value;  // JSON text, "delete", or "long:N" for a text of N bytes
        const char* rule;   // a substring of the expected message, % for the key's path; nullptr: still valid
    } edits[] = {
        {"/cpu", "delete", "missing key: %"},
        {"/score_details/raw_tests/3/multicore/seconds", "delete", "missing key: %"},
        {"/extra", "1", "unknown key: %"},
        {"/cpu", "42", "wrong type: % must be a string"},
        {"/cpu_threads", "\"8\"", "wrong type: % must be an integer"},
        {"/score_details/real_tests/0/multicore/iterations", "50.5", "wrong type: % must be an integer"},
        {"/score_details/system_environment", "[]", "wrong type: % must be an object"},
        {"/score_details/real_tests", "{}", "wrong type: % must be an array"},
        {"/workload_suite", "\"quillmoth-cpu-v1\"", "% must be \"quillmoth-cpu-v2\""},
        {"/score_details/raw_tests/10", "delete", "score_details.raw_tests must hold 11 tests"},
        {"/score_details/real_tests/4/id", "\"compression\"", "% must be \"extended_instructions\""},
        {"/score_details/raw_tests/2/singlecore/threads", "0", "not positive: %"},
        {"/score_details/raw_tests/2/multicore/threads", "-8", "not positive: %"},
        {"/cpu_cores", "0", "not positive: %"},
        {"/score_details/raw_tests/5/multicore/rate", "-1.5", "negative: %"},
        {"/score_details/real_tests/1/singlecore/seconds", "-0.5", "negative: %"},
        {"/score_details/system_environment/background_cpu_peak_percent", "-1", "negative: %"},
        {"/score_details/raw_tests/0/multicore/checksum", "1000", "wrong type: % must be a string"},
        {"/score_details/real_tests/0/singlecore/checksum", "\"18446744073709551616\"", "bad checksum: %"},
        {"/score_details/real_tests/0/multicore/checksum", "\"0x1f\"", "bad checksum: %"},
        {"/score_details/real_tests/6/multicore/checksum", "\"\"", "bad checksum: %"},
        {"/score_details/raw_tests/6/multicore/checksum", "\"01006\"", "bad checksum: %"},
        {"/cpu", "long:256", "text too long: % holds more than 255 bytes"},
        {"/score_details/system_environment/kernel", "long:128", "text too long: %"},
        {"/model", "\"a\\u0000b\"", "NUL in text: %"},
        {"/memory_mb", "-2", "out of range: % must be -1 or more"},
        {"/duration_ms", "-1", "negative: % must not be negative"},
        // Boundary values the benchmark really writes.
        {"/score_details/real_tests/0/singlecore/checksum", "\"18446744073709551615\"", nullptr},
        {"/score_details/raw_tests/0/multicore/checksum", "\"0\"", nullptr},
        {"/l3_cache_kb", "-1", nullptr},
        {"/score_details/system_environment/available_memory_mb", "-1", nullptr},
        {"/score_details/raw_tests/0/multicore/rate", "0", nullptr},
        {"/cpu", "long:255", nullptr},
        {"/cpu", "\"\\\"quoted\\\" \\\\ <b>\\t\"", nullptr},
    };
    for (const auto& e : edits) {
        ordered_json doc = ordered_json::parse(golden_document());
        const ordered_json::json_pointer at(e.pointer);
        const std::string value = e.value;
        ordered_json& parent = doc[at.parent_pointer()];
        if (value == "delete")
            parent.is_array() ? parent.erase(std::stoul(at.back())) : static_cast<void>(parent.erase(at.back()));
        else
            doc[at] = value.rfind("long:", 0) == 0 ? ordered_json(std::string(std::stoul(value.substr(5)), 'x'))
                                                   : ordered_json::parse(value);
        const auto errors = errors_of(doc.dump());
        EXPECT_EQ(errors.size(), e.rule ? 1u : 0u) << e.pointer << " = " << e.value;
        std::string path;  // "/a/3/b" is ".a[3].b", less its first dot, in a message
        for (auto p = at; !p.empty(); p = p.parent_pointer())
            path.insert(0, std::isdigit(p.back()[0]) ? "[" + p.back() + "]" : "." + p.back());
        std::string rule = e.rule ? e.rule : "";
        if (rule.find('%') != std::string::npos) rule.replace(rule.find('%'), 1, path.substr(1));
        if (!errors.empty()) {
            EXPECT_NE(errors[0].find(rule), std::string::npos) << errors[0];
        }
    }
}

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
        {std::string(5000, '[') + std::string(5000, ']'), "nested too deeply"},
        {"{\"cpu\":\"\xff\xfe\"}", "not JSON"},  // not UTF-8
        // A figure beyond a double's range never becomes infinity: the parse refuses it.
        {"{\"rate\":1e400}", "not JSON"},
        {golden + std::string(kMaxDocumentBytes, ' '), "too large"},
        {golden + std::string("\0", 1) + std::string(1000, '\x9c'), "NUL byte"},
        {golden + std::string("\0", 1), "NUL byte"},
        {golden + " \n\t{}", "not JSON"},
        {golden + "\x01", "not JSON"},
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

}  // namespace

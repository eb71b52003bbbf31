// The results service's document validator, fed any bytes: it never crashes,
// says why whenever it refuses, and what it accepts reads back through the
// document reader as the same summary. (Seeded with the golden document.)
#include <cstring>

#include <nlohmann/json.hpp>

#include "fuzz_input.h"
#include "server/validate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    ResultSummary summary;
    std::vector<std::string> errors;
    const int valid = validate_document(body, &summary, &errors);
    FUZZ_CHECK((valid == 1) == errors.empty());
    for (const std::string& e : errors) FUZZ_CHECK(!e.empty() && e.find('\n') == std::string::npos);
    if (!valid) return 0;
    FUZZ_CHECK(nlohmann::json::parse(body)["cpu"].get<std::string>() == summary.cpu);
    ResultSummary again;
    FUZZ_CHECK(read_document(body, &again) == 1);
    FUZZ_CHECK(again.cpu == summary.cpu && again.flags == summary.flags &&
               again.processor_key == summary.processor_key && again.content_hash == summary.content_hash);
    FUZZ_CHECK(std::memcmp(again.figures, summary.figures, sizeof summary.figures) == 0);
    FUZZ_CHECK(std::memcmp(again.scores, summary.scores, sizeof summary.scores) == 0);
    return 0;
}

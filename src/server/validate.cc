// The rules follow the document the benchmark writes: every key present with
// its type, no key twice and none unknown, the suite name, the eleven test ids
// in catalogue order, positive thread counts, finite non-negative figures,
// checksums as decimal strings that fit 64 bits, and bounded texts.
#include "server/validate.h"

#include <cmath>
#include <cstdio>
#include <set>

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr int kMaxDepth = 8;

// Thrown from the parser callback: nesting or a repeated key ends the parse.
struct StructureError {
    std::string message;
};

enum class Kind {
    text,         // string of at most `limit` bytes
    count,        // integer >= 1
    integer,      // integer >= -1 (the benchmark writes -1 for "unknown")
    unsigned_int, // integer >= 0
    figure,       // any finite number >= 0
    checksum,     // decimal string that fits 64 bits
    object,
    array,
};

struct Field {
    const char* key;
    Kind kind;
    size_t limit;  // texts only
};

const Field kTopFields[] = {
    {"cpu", Kind::text, 255},          {"model", Kind::text, 255},
    {"cpu_cores", Kind::count, 0},     {"cpu_threads", Kind::count, 0},
    {"architecture", Kind::text, 32},  {"l1_cache_kb", Kind::integer, 0},
    {"l2_cache_kb", Kind::integer, 0}, {"l3_cache_kb", Kind::integer, 0},
    {"memory_mb", Kind::integer, 0},   {"operating_system", Kind::text, 255},
    {"compiler", Kind::text, 127},     {"lumatile_version", Kind::text, 32},
    {"workload_suite", Kind::text, 32}, {"duration_ms", Kind::unsigned_int, 0},
    {"score_details", Kind::object, 0},
};
const Field kScoreFields[] = {
    {"minimum_test_seconds", Kind::figure, 0}, {"repeats", Kind::count, 0},
    {"system_environment", Kind::object, 0},   {"raw_tests", Kind::array, 0},
    {"real_tests", Kind::array, 0},
};
const Field kEnvironmentFields[] = {
    {"kernel", Kind::text, 127},
    {"sample_seconds", Kind::unsigned_int, 0},
    {"background_cpu_average_percent", Kind::figure, 0},
    {"background_cpu_peak_percent", Kind::figure, 0},
    {"available_memory_mb", Kind::integer, 0},
    {"process_count", Kind::integer, 0},
};
const Field kTestFields[] = {
    {"id", Kind::text, 64},
    {"name", Kind::text, 255},
    {"detail", Kind::text, 255},
    {"unit", Kind::text, 32},
    {"start_iterations", Kind::unsigned_int, 0},
    {"work_per_iteration", Kind::figure, 0},
    {"multicore", Kind::object, 0},
    {"singlecore", Kind::object, 0},
};
const Field kPassFields[] = {
    {"display_metric", Kind::figure, 0}, {"rate", Kind::figure, 0},
    {"seconds", Kind::figure, 0},        {"iterations", Kind::unsigned_int, 0},
    {"threads", Kind::count, 0},         {"checksum", Kind::checksum, 0},
};

const char* const kSuiteKeys[2] = {"raw_tests", "real_tests"};
const char* const kPassKeys[2] = {"multicore", "singlecore"};

bool is_checksum(const std::string& s) {
    static const char kMax[] = "18446744073709551615";
    if (s.empty() || s.size() > 20) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    if (s.size() > 1 && s[0] == '0') return false;  // one way to write each value
    return s.size() < 20 || s <= kMax;
}

class Checker {
public:
    explicit Checker(std::vector<std::string>* errors) : errors_(errors) {}

    void fail(const char* format, const std::string& where, const char* detail = "") {
        char line[512];
        std::snprintf(line, sizeof line, format, where.c_str(), detail);
        errors_->push_back(line);
    }

    // Checks the keys of an object against a field list; returns 1 when every
    // field is there with its type and value range.
    template <size_t N>
    int fields(const json& object, const Field (&list)[N], const std::string& where) {
        int ok = 1;
        for (const auto& item : object.items()) {
            bool known = false;
            for (const Field& f : list) known = known || item.key() == f.key;
            if (!known) {
                fail("unknown key: %s%s", prefix(where), item.key().c_str());
                ok = 0;
            }
        }
        for (const Field& f : list) {
            const std::string path = prefix(where) + f.key;
            const auto it = object.find(f.key);
            if (it == object.end()) {
                fail("missing key: %s", path);
                ok = 0;
            } else if (!value(*it, f, path)) {
                ok = 0;
            }
        }
        return ok;
    }

private:
    static std::string prefix(const std::string& where) { return where.empty() ? where : where + "."; }

    int value(const json& v, const Field& f, const std::string& path) {
        switch (f.kind) {
            case Kind::text:
                if (!v.is_string()) return fail("wrong type: %s must be a string", path), 0;
                if (v.get_ref<const std::string&>().size() > f.limit) {
                    char limit[32];
                    std::snprintf(limit, sizeof limit, "%zu", f.limit);
                    return fail("text too long: %s holds more than %s bytes", path, limit), 0;
                }
                // "\u0000" decodes to a NUL, which a database text cannot hold
                // whole; the benchmark never writes one.
                if (v.get_ref<const std::string&>().find('\0') != std::string::npos)
                    return fail("NUL in text: %s holds a \\u0000", path), 0;
                return 1;
            case Kind::count:
                if (!v.is_number_integer()) return fail("wrong type: %s must be an integer", path), 0;
                if (v.is_number_unsigned() ? v.get<uint64_t>() == 0 : v.get<int64_t>() < 1)
                    return fail("not positive: %s must be at least 1", path), 0;
                if (v.is_number_unsigned() && v.get<uint64_t>() > INT32_MAX)
                    return fail("out of range: %s is too large", path), 0;
                return 1;
            case Kind::integer:
                if (!v.is_number_integer()) return fail("wrong type: %s must be an integer", path), 0;
                if (!v.is_number_unsigned() && v.get<int64_t>() < -1)
                    return fail("out of range: %s must be -1 or more", path), 0;
                return 1;
            case Kind::unsigned_int:
                if (!v.is_number_integer()) return fail("wrong type: %s must be an integer", path), 0;
                if (!v.is_number_unsigned()) return fail("negative: %s must not be negative", path), 0;
                return 1;
            case Kind::figure: {
                if (!v.is_number()) return fail("wrong type: %s must be a number", path), 0;
                const double d = v.get<double>();
                if (!std::isfinite(d)) return fail("not finite: %s must be a finite number", path), 0;
                if (d < 0) return fail("negative: %s must not be negative", path), 0;
                return 1;
            }
            case Kind::checksum:
                if (!v.is_string()) return fail("wrong type: %s must be a string", path), 0;
                if (!is_checksum(v.get_ref<const std::string&>()))
                    return fail("bad checksum: %s must be decimal digits that fit 64 bits", path), 0;
                return 1;
            case Kind::object:
                if (!v.is_object()) return fail("wrong type: %s must be an object", path), 0;
                return 1;
            case Kind::array:
                if (!v.is_array()) return fail("wrong type: %s must be an array", path), 0;
                return 1;
        }
        return 0;
    }

    std::vector<std::string>* errors_;
};

// Parses with a callback that refuses deep nesting and repeated keys, which
// the document never has and which would make the stored bytes ambiguous.
json parse_strict(const std::string& body, std::string* error) {
    std::vector<std::set<std::string>> keys;
    const json::parser_callback_t callback = [&keys](int depth, json::parse_event_t event, json& parsed) {
        if (depth > kMaxDepth) throw StructureError{"nested too deeply"};
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end) {
            if (!keys.empty()) keys.pop_back();
        } else if (event == json::parse_event_t::key && !keys.empty()) {
            const std::string& key = parsed.get_ref<const std::string&>();
            if (!keys.back().insert(key).second) throw StructureError{"duplicate key: " + key};
        }
        return true;
    };
    try {
        json doc = json::parse(body, callback, false);
        if (doc.is_discarded()) *error = "not JSON: the body does not parse as a JSON document";
        return doc;
    } catch (const StructureError& e) {
        *error = e.message;
    } catch (const std::exception&) {
        *error = "not JSON: the body does not parse as a JSON document";
    }
    return json();
}

}  // namespace

int validate_document(const std::string& body, ResultSummary* summary, std::vector<std::string>* errors) {
    errors->clear();
    if (body.size() > kMaxDocumentBytes) {
        errors->push_back("too large: the document exceeds 131072 bytes");
        return 0;
    }
    // The stored bytes are served back as JSON: a NUL (where some readers
    // stop) or anything but white space after the value would let one
    // document read differently to different readers.
    if (body.find('\0') != std::string::npos) {
        errors->push_back("not JSON: the body holds a NUL byte");
        return 0;
    }
    std::string parse_error;
    const json doc = parse_strict(body, &parse_error);
    if (!parse_error.empty()) {
        errors->push_back(parse_error);
        return 0;
    }
    if (!doc.is_object()) {
        errors->push_back("wrong type: the document must be a JSON object");
        return 0;
    }

    Checker check(errors);
    int ok = check.fields(doc, kTopFields, "");
    const auto suite = doc.find("workload_suite");
    if (suite != doc.end() && suite->is_string() && *suite != kWorkloadSuite) {
        check.fail("wrong suite: workload_suite must be \"%s\"%s", kWorkloadSuite);
        ok = 0;
    }
    const auto score = doc.find("score_details");
    if (score == doc.end() || !score->is_object()) return 0;
    ok &= check.fields(*score, kScoreFields, "score_details");
    const auto env = score->find("system_environment");
    if (env != score->end() && env->is_object())
        ok &= check.fields(*env, kEnvironmentFields, "score_details.system_environment");

    for (int s = 0; s < 2; ++s) {
        const auto tests = score->find(kSuiteKeys[s]);
        if (tests == score->end() || !tests->is_array()) continue;
        const std::string where = std::string("score_details.") + kSuiteKeys[s];
        if (tests->size() != static_cast<size_t>(kTestCount)) {
            char count[16];
            std::snprintf(count, sizeof count, "%d", kTestCount);
            check.fail("wrong test count: %s must hold %s tests", where, count);
            ok = 0;
            continue;
        }
        for (int i = 0; i < kTestCount; ++i) {
            const json& test = (*tests)[static_cast<size_t>(i)];
            const std::string at = where + "[" + std::to_string(i) + "]";
            if (!test.is_object()) {
                check.fail("wrong type: %s must be an object", at);
                ok = 0;
                continue;
            }
            ok &= check.fields(test, kTestFields, at);
            const auto id = test.find("id");
            if (id != test.end() && id->is_string() && *id != g_catalogue[i].id) {
                check.fail("wrong test order: %s.id must be \"%s\"", at, g_catalogue[i].id);
                ok = 0;
            }
            for (int p = 0; p < 2; ++p) {
                const auto pass = test.find(kPassKeys[p]);
                if (pass == test.end() || !pass->is_object()) continue;
                ok &= check.fields(*pass, kPassFields, at + "." + kPassKeys[p]);
            }
        }
    }
    if (!ok) return 0;

    summary->cpu = doc["cpu"].get<std::string>();
    summary->model = doc["model"].get<std::string>();
    summary->operating_system = doc["operating_system"].get<std::string>();
    summary->compiler = doc["compiler"].get<std::string>();
    summary->cores = doc["cpu_cores"].get<int64_t>();
    summary->threads = doc["cpu_threads"].get<int64_t>();
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < kTestCount; ++i) {
            const json& test = (*score)[kSuiteKeys[s]][static_cast<size_t>(i)];
            summary->figures[s][kPassMulti][i] = test["multicore"]["display_metric"].get<double>();
            summary->figures[s][kPassSingle][i] = test["singlecore"]["display_metric"].get<double>();
        }
    return 1;
}

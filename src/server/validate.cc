// The rules follow the document the benchmark writes: every key present with
// its type, no key twice and none unknown, the suite name, the eleven test ids
// in catalogue order, positive thread counts, finite non-negative figures,
// checksums as decimal strings that fit 64 bits, and bounded texts.
#include "server/validate.h"

#include <cmath>
#include <cstdio>
#include <set>

#include "server/fields.h"
#include "server/scores.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace {

constexpr int kMaxDepth = 8;

// Thrown from the parser callback: nesting or a repeated key ends the parse.
struct StructureError {
    std::string message;
};

using Kind = FieldKind;

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
    int fields(const json& object, std::span<const Field> list, const std::string& where) {
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

// The summary columns of a document known to hold every field with its type.
void extract_summary(const json& doc, ResultSummary* summary) {
    summary->cpu = doc.at("cpu").get<std::string>();
    summary->model = doc.at("model").get<std::string>();
    summary->operating_system = doc.at("operating_system").get<std::string>();
    summary->compiler = doc.at("compiler").get<std::string>();
    summary->architecture = doc.at("architecture").get<std::string>();
    summary->cores = doc.at("cpu_cores").get<int64_t>();
    summary->threads = doc.at("cpu_threads").get<int64_t>();
    const json& score = doc.at("score_details");
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < kTestCount; ++i) {
            const json& test = score.at(kSuites[s].document_key).at(static_cast<size_t>(i));
            for (int p = 0; p < 2; ++p)
                summary->figures[s][p][i] = test.at(kPasses[p].document_key).at("display_metric").get<double>();
        }
    const json& env = score.at("system_environment");
    summary->flags = document_flags(env.at("background_cpu_average_percent").get<double>(),
                                    env.at("sample_seconds").get<long long>());
    summary->processor_key = processor_key(summary->architecture, summary->cpu);
    compute_scores(doc.at("workload_suite").get<std::string>(), summary->figures, summary->scores);
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
        const auto tests = score->find(kSuites[s].document_key);
        if (tests == score->end() || !tests->is_array()) continue;
        const std::string where = std::string("score_details.") + kSuites[s].document_key;
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
                const auto pass = test.find(kPasses[p].document_key);
                if (pass == test.end() || !pass->is_object()) continue;
                ok &= check.fields(*pass, kPassFields, at + "." + kPasses[p].document_key);
            }
        }
    }
    if (!ok) return 0;

    extract_summary(doc, summary);
    summary->content_hash = content_hash(body);
    return 1;
}

int read_document(const std::string& body, ResultSummary* summary) {
    try {
        const json doc = json::parse(body);
        extract_summary(doc, summary);
        summary->content_hash = content_hash(body);
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

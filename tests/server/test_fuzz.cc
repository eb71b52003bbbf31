// Random and mutated documents against the validator and the upload route:
// nothing crashes, every answer is 201, 413 or 422, and a document is
// accepted only if it still passes the rules when checked again. Seeds are
// fixed so that a failure can be replayed.
#include <random>

#include "server/harness.h"

namespace {

using nlohmann::ordered_json;

// Bytes that make parsers work: structure, escapes, digits, UTF-8 pieces.
const char kAlphabet[] = "{}[]\":,\\/0123456789-+.eEtrufalsn \t\r\n\xc3\xa9\xe2\x82\xac\xff\x00";

std::string mutate_bytes(std::string doc, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits && !doc.empty(); ++e) {
        const size_t at = rng() % doc.size();
        const char c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
        switch (rng() % 5) {
            case 0: doc[at] = c; break;
            case 1: doc.insert(at, 1, c); break;
            case 2: doc.erase(at, 1 + rng() % 16); break;
            case 3: doc.resize(at); break;
            default: doc.insert(at, doc.substr(rng() % doc.size(), rng() % 64)); break;
        }
    }
    return doc;
}

// Replaces one value somewhere in the tree by a value of another kind.
void mutate_tree(ordered_json& node, std::mt19937& rng, int depth = 0) {
    if ((node.is_object() || node.is_array()) && !node.empty() && rng() % 4 != 0) {
        const size_t i = rng() % node.size();
        auto it = node.begin();
        std::advance(it, static_cast<long>(i));
        return mutate_tree(*it, rng, depth + 1);
    }
    switch (rng() % 10) {
        case 0: node = nullptr; break;
        case 1: node = -static_cast<int64_t>(rng() % 1000); break;
        case 2: node = static_cast<uint64_t>(rng()) << 33; break;
        case 3: node = std::ldexp(1.0, static_cast<int>(rng() % 2000) - 1000); break;
        case 4: node = std::string(rng() % 600, 'q'); break;
        case 5: node = ordered_json::array({1, "two", 3.5}); break;
        case 6: node = ordered_json::object({{"k", 1}}); break;
        case 7: node = "18446744073709551615"; break;
        case 8: node = true; break;
        default: node = std::to_string(rng()); break;
    }
}

std::string random_document(std::mt19937& rng) {
    const std::string golden = golden_document();
    switch (rng() % 4) {
        case 0: return mutate_bytes(golden, rng);
        case 1: {
            ordered_json doc = ordered_json::parse(golden);
            const int n = 1 + static_cast<int>(rng() % 3);
            for (int i = 0; i < n; ++i) mutate_tree(doc, rng);
            return doc.dump();
        }
        case 2: {
            std::string junk(rng() % 512, ' ');
            for (char& c : junk) c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
            return junk;
        }
        default: {
            const int depth = static_cast<int>(rng() % 5000);
            return std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']');
        }
    }
}

TEST(Fuzz, ValidatorNeverCrashesAndAcceptsOnlyValidDocuments) {
    std::mt19937 rng(20261207);
    const int rounds = QUILLMOTH_SANITIZED ? 1500 : 5000;
    int accepted = 0;
    for (int i = 0; i < rounds; ++i) {
        const std::string doc = random_document(rng);
        ResultSummary summary;
        std::vector<std::string> errors;
        const int valid = validate_document(doc, &summary, &errors);
        ASSERT_EQ(valid == 1, errors.empty()) << "round " << i;
        if (!valid) continue;
        ++accepted;
        // An accepted document must say what the columns say.
        const auto parsed = nlohmann::json::parse(doc);
        ASSERT_EQ(parsed["workload_suite"], "quillmoth-cpu-v2") << "round " << i;
        ASSERT_EQ(parsed["cpu"].get<std::string>(), summary.cpu) << "round " << i;
        ASSERT_GE(summary.threads, 1) << "round " << i;
    }
    // Some mutations keep the document valid (a changed digit in a figure):
    // the fuzzer must reach both answers to be testing anything.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, rounds);
}

TEST(Fuzz, UploadRouteAnswersOnly201413Or422) {
    BackendStore backend("sqlite");
    ASSERT_TRUE(backend.store) << backend.error;
    TestServer server(backend.store.get(), options_with({"--upload-limit", "0"}));
    auto client = server.client();
    std::mt19937 rng(7);
    const int rounds = QUILLMOTH_SANITIZED ? 150 : 600;
    int counts[3] = {0, 0, 0};
    for (int i = 0; i < rounds; ++i) {
        std::string doc = random_document(rng);
        if (i % 50 == 0) doc += std::string(kMaxBodyBytes, ' ');
        if (i % 50 == 25) doc = document_with_cpu("fuzz " + doc.substr(0, 40));  // valid, with any bytes in a text
        const auto r = client.Post("/api/v1/submissions", doc, "application/json");
        ASSERT_TRUE(r) << "round " << i << ": " << httplib::to_string(r.error());
        ASSERT_TRUE(r->status == 201 || r->status == 413 || r->status == 422) << "round " << i << ": " << r->status;
        ++counts[r->status == 201 ? 0 : r->status == 413 ? 1 : 2];
        if (r->status == 201) {
            const std::string id = nlohmann::json::parse(r->body)["id"];
            const auto back = client.Get("/api/v1/results/" + id);
            ASSERT_TRUE(back);
            ASSERT_EQ(back->body, doc);
        }
    }
    EXPECT_GT(counts[0], 0);
    EXPECT_GT(counts[1], 0);
    EXPECT_GT(counts[2], 0);
}

}  // namespace

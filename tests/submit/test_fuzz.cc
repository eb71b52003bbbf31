// Random and mangled replies: nothing crashes, nothing overruns a buffer
// (this runs under the sanitizers too), and the outcome is always one of the
// known shapes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

const char* const kPieces[] = {
    "HTTP/1.1 ", "HTTP/1.0 200 OK", "201 ", " 422", "-7", "99999999999999999999", "\r\n", "\r\n\r\n", "\"",
    "\\", "\\\"", ":", " ", "\t", "/", "{", "}", "\"result_url\"", "\"claim_url\"", "\"result_url\":\"",
    "\"claim_url\":\"http://c/", "\0", "\xff", "\xc3\xa9",
};

const std::vector<std::string>& seeds() {
    static const std::vector<std::string> all = {
        "HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n"
        "{\"result_url\":\"http://r/1\",\"claim_url\":\"http://c/claim/K7\"}",
        "HTTP/1.1 200 OK\r\n\r\n{\"result_url\" : \"http:\\/\\/r\\/2\"}",
        "HTTP/1.0 422 Unprocessable Entity\r\n\r\n{\"error\":\"bad\"}",
        "HTTP/1.1 401 Unauthorized\r\n\r\n",
        "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n",
        "",
    };
    return all;
}

std::string mutate(std::mt19937_64& rng, std::string s) {
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 5) {
            case 0:
                if (!s.empty()) s[at % s.size()] = static_cast<char>(rng());
                break;
            case 1: {
                const char* piece = kPieces[rng() % (sizeof kPieces / sizeof kPieces[0])];
                s.insert(at, piece, *piece == '\0' ? 1 : std::strlen(piece));
                break;
            }
            case 2:
                s.erase(at, rng() % 16);
                break;
            case 3:
                s.insert(at, std::string(rng() % 3000, static_cast<char>("x\"\\/ \r\n"[rng() % 7])));
                break;
            default:
                s.resize(at);
                break;
        }
    }
    return s;
}

std::string random_bytes(std::mt19937_64& rng) {
    static const char likely[] = "HTP/ 0123456789\r\n\"\\:{}";
    std::string s(rng() % kReplyCapacity, '\0');
    for (char& c : s) c = static_cast<char>(rng() % 4 == 0 ? likely[rng() % (sizeof likely - 1)] : rng());
    return s;
}

// Exactly one outcome: one refusal line on err, or the success lines on out.
// The links are printed as the service sent them, line ends included, so the
// success lines are checked by their beginnings only.
void expect_known_shape(const std::string& out, const std::string& err, const std::string& reply) {
    if (out.empty()) {
        EXPECT_EQ(err.rfind("  upload failed: ", 0), 0u) << reply;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << reply;
        return;
    }
    EXPECT_EQ(err, "") << reply;
    EXPECT_EQ(out.rfind("  Results uploaded (HTTP 2", 0), 0u) << reply;
    EXPECT_NE(out.find(").\n  View your result: "), std::string::npos) << reply;
    EXPECT_EQ(out.back(), '\n') << reply;
}

TEST(ReplyFuzz, RandomAndMutatedReplies) {
    std::mt19937_64 rng(0x51554c4cu);
    char reply[kReplyCapacity];
    for (int round = 0; round < 20000; ++round) {
        std::string r = round % 4 == 0 ? random_bytes(rng) : mutate(rng, seeds()[rng() % seeds().size()]);
        if (r.size() > kReplyCapacity - 1) r.resize(kReplyCapacity - 1);
        std::memcpy(reply, r.data(), r.size());
        reply[r.size()] = '\0';
        Capture out, err;
        report_reply(reply, r.size(), out.file(), err.file());
        expect_known_shape(out.text(), err.text(), r);
        if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
}

TEST(ReplyFuzz, RandomBodiesAndKeys) {
    std::mt19937_64 rng(0x4b455953u);
    char out[kLinkCapacity + 8];
    for (int round = 0; round < 20000; ++round) {
        std::string body = mutate(rng, "{\"result_url\":\"" + std::string(rng() % 1100, 'u') + "\"}");
        const std::string key = round % 3 == 0 ? std::string(rng() % 80, 'k') : "result_url";
        std::memset(out, 'X', sizeof out);
        const int found = json_string_field(body.c_str(), key.c_str(), out);
        ASSERT_EQ(out[kLinkCapacity], 'X') << body;
        const size_t length = std::strlen(out);
        ASSERT_LT(length, kLinkCapacity) << body;
        if (found) {
            ASSERT_GT(length, 0u) << body;
        }
    }
}

// A few mangled replies through a real connection, including the read loop.
TEST(ReplyFuzz, MangledRepliesOverTheWire) {
    std::mt19937_64 rng(0x57495245u);
    ResultsServer::Options options;
    for (int i = 0; i < 12; ++i) {
        std::string r = i % 3 == 0 ? random_bytes(rng) : mutate(rng, seeds()[rng() % seeds().size()]);
        if (r.empty()) r.push_back('?');  // an empty reply is the transport error, tested elsewhere
        options.replies.push_back(r);
    }
    ResultsServer server(options);
    ASSERT_FALSE(server.port().empty());
    static const SampleRun run;
    for (const std::string& r : options.replies) {
        Capture out, err;
        const UploadTarget target = {"127.0.0.1", server.port().c_str(), "/api/v1/submissions", 5000, 10000};
        upload_result_to(&target, out.file(), err.file(), &run.info, &run.stats, run.duration_ms, run.raw_multi,
                         run.raw_single, run.real_multi, run.real_single);
        expect_known_shape(out.text(), err.text(), r);
    }
    EXPECT_EQ(server.finish(), 0);
}

}  // namespace

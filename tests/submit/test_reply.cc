// Reading the service's reply: string values out of the body, and random and
// mangled replies (this runs under the sanitizers too).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

TEST(JsonStringField, Lookups) {
    const std::string v1023(1023, 'v'), key61(61, 'k'), key62(62, 'k');
    const struct {
        std::string body;
        int found;
        std::string value, key = "result_url";
    } cases[] = {
        {"{\"result_url\" \t\r\n: \n \"http://r/2\"}", 1, "http://r/2"},
        {R"({"result_url":"http:\/\/r\/3"})", 1, "http://r/3"},
        {R"({"result_url":"a\"b\\c\nd"})", 1, "a\"b\\cnd"},  // backslash-n is the letter n
        {R"({"a":1,"result_url":"x","result_url":"y"})", 1, "x"},
        {R"({"note":"result_url","result_url":"x"})", 0, ""},  // the first occurrence is a value
        {R"({"result_url":""})", 0, ""},
        {R"({"result_url":42})", 0, ""},
        {R"({"result_url":"unterminated)", 0, "unterminated"},
        {"{\"result_url\":\"" + v1023 + "\"}", 1, v1023},
        {"{\"result_url\":\"" + v1023 + "w\"}", 0, v1023},  // 1,024 bytes: cut at the buffer's end
        {"{\"" + key61 + "\":\"v\"}", 1, "v", key61},
        {"{\"" + key62 + "\":\"v\"}", 0, "", key62},  // too long for the pattern: never looked up
    };
    for (const auto& c : cases) {
        char out[kLinkCapacity + 16];
        std::memset(out, 'X', sizeof out);
        EXPECT_EQ(json_string_field(c.body.c_str(), c.key.c_str(), out), c.found) << c.body;
        EXPECT_EQ(out[kLinkCapacity], 'X') << "wrote past the link buffer: " << c.body;
        out[kLinkCapacity] = '\0';
        EXPECT_EQ(out, c.value) << c.body;
    }
}

const char* const kPieces[] = {
    "HTTP/1.1 ", "HTTP/1.0 200 OK", "201 ", " 422", "-7", "99999999999999999999", "\r\n", "\r\n\r\n", "\"", "\\",
    "\\\"", ":", " ", "/", "{", "}", "\"result_url\"", "\"claim_url\"", "\"result_url\":\"", "\"claim_url\":\"http://c/",
    "\xff", "\xc3\xa9"};

const std::string kSeeds[] = {
    "HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n"
    "{\"result_url\":\"http://r/1\",\"claim_url\":\"http://c/claim/K7\"}",
    "HTTP/1.1 200 OK\r\n\r\n{\"result_url\" : \"http:\\/\\/r\\/2\"}",
    "HTTP/1.1 201 Created\r\n\r\n{\"result_url\":\"" + std::string(1020, 'u') + "\",\"claim_url\":\"/" +
        std::string(990, 'c') + "\"}",  // links near their buffer's end, the body near its own
    "HTTP/1.0 422 Unprocessable Entity\r\n\r\n{\"error\":\"bad\"}",
    "HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n",
    "",
};

std::string mutate(std::mt19937_64& rng, std::string s) {
    for (int edits = 1 + static_cast<int>(rng() % 8); edits > 0; --edits) {
        const size_t at = rng() % (s.size() + 1), edit = rng() % 5;
        if (edit == 0) s.insert(at, 1, static_cast<char>(rng()));  // NUL included
        if (edit == 1) s.insert(at, kPieces[rng() % std::size(kPieces)]);
        if (edit == 2) s.erase(at, rng() % 16);
        if (edit == 3) s.insert(at, std::string(rng() % 3000, "x\"\\/ \r\n"[rng() % 7]));
        if (edit == 4) s.resize(at);
    }
    return s;
}

TEST(ReplyFuzz, RandomAndMutatedReplies) {
    std::mt19937_64 rng(0x51554c4cu);
    for (int round = 0; round < 20000; ++round) {
        std::string r;
        if (round % 4 == 0) {
            static const char likely[] = "HTP/ 0123456789\r\n\"\\:{}";
            for (size_t n = rng() % kReplyCapacity; n > 0; --n)
                r += static_cast<char>(rng() % 4 == 0 ? likely[rng() % (sizeof likely - 1)] : rng());
        } else {
            r = mutate(rng, kSeeds[rng() % std::size(kSeeds)]);
        }
        r.resize(std::min(r.size(), kReplyCapacity - 1));
        const std::string reply = r + '\0';  // exactly as long as it needs: the sanitizers see any overrun
        Capture out, err;
        report_reply(reply.data(), r.size(), out.file, err.file);
        // Exactly one outcome: one refusal line, or the success lines (the
        // links are printed as sent, so only their beginnings are known).
        const std::string o = out.text(), e = err.text();
        if (o.empty()) {
            ASSERT_EQ(e.rfind("  upload failed: ", 0), 0u) << r;
            ASSERT_EQ(e.find('\n'), e.size() - 1) << r;
        } else {
            ASSERT_EQ(e, "") << r;
            ASSERT_EQ(o.rfind("  Results uploaded (HTTP 2", 0), 0u) << r;
            ASSERT_NE(o.find(").\n  View your result: "), std::string::npos) << r;
            ASSERT_EQ(o.back(), '\n') << r;
        }
    }
}

}  // namespace

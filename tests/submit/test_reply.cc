// Reading the service's reply: the outcome it prints, and string values out of its body.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

std::string http_reply(const std::string& status_line, const std::string& body) {
    return status_line + "\r\nContent-Type: application/json\r\n\r\n" + body;
}

const char kUploaded[] = "  Results uploaded (HTTP 201).\n  View your result: http://r/1\n";
const char kNoLink[] = "  upload failed: server did not return a result link\n";

TEST(Reply, Outcomes) {
    const auto body_of = [](size_t link_end) {  // a body whose link ends at byte link_end
        const std::string link = "\",\"result_url\":\"http://r/5\"";
        return "{\"pad\":\"" + std::string(link_end - 8 - link.size(), 'x') + link + "}";
    };
    const struct {
        std::string reply, out, err;
    } cases[] = {
        {http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1","claim_url":"http://c/claim/K7Q2"})"),
         std::string(kUploaded) + "  Claim code: K7Q2\n  Claim your result: http://c/claim/K7Q2\n", ""},
        {http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1"})"), kUploaded, ""},
        {http_reply("HTTP/1.0 200 OK", R"({"result_url":"http:\/\/r\/2","claim_url":"http://c/Q"})"),
         "  Results uploaded (HTTP 200).\n  View your result: http://r/2\n  Claim code: Q\n"
         "  Claim your result: http://c/Q\n",
         ""},
        // A link ending in a slash, or without one, is its own claim code.
        {http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1","claim_url":"http://c/claim/"})"),
         std::string(kUploaded) + "  Claim code: http://c/claim/\n  Claim your result: http://c/claim/\n", ""},
        {http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1","claim_url":"ABC1"})"),
         std::string(kUploaded) + "  Claim code: ABC1\n  Claim your result: ABC1\n", ""},
        // Control bytes from the service never reach the terminal.
        {http_reply("HTTP/1.1 201 Created", "{\"result_url\":\"http://r/\x1b[2J\r\n  Claim code: FAKE\x7f\","
                                            "\"claim_url\":\"http://c/\x1b]0;x\x07/K\tZ\"}"),
         "  Results uploaded (HTTP 201).\n  View your result: http://r/?[2J??  Claim code: FAKE?\n"
         "  Claim code: K?Z\n  Claim your result: http://c/?]0;x?/K?Z\n",
         ""},
        // The link's closing quote as the last of the 2,047 body bytes kept, then one byte beyond.
        {http_reply("HTTP/1.1 200 OK", body_of(2047)),
         "  Results uploaded (HTTP 200).\n  View your result: http://r/5\n", ""},
        {http_reply("HTTP/1.1 200 OK", body_of(2048)), "", kNoLink},
        {"HTTP/1.1 302 Found\r\nLocation: http://elsewhere/\r\n\r\n{\"result_url\":\"http://r/6\"}", "",
         "  upload failed: server returned HTTP 302\n"},
        {http_reply("HTTP/1.1 401 Unauthorized", "{}"), "", "  upload failed: API token was rejected (HTTP 401)\n"},
        {http_reply("HTTP/1.1 422 Unprocessable Entity", R"({"result_url":"http://r/7"})"), "",
         "  upload failed: server rejected the submission as invalid (HTTP 422)\n"},
        {http_reply("HTTP/1.1 500 Internal Server Error", ""), "", "  upload failed: server returned HTTP 500\n"},
        {http_reply("HTTP/1.1 99999999999999999999 Big", ""), "", "  upload failed: server returned HTTP 2147483647\n"},
        {http_reply("HTTX/1.1 201 Created", R"({"result_url":"http://r/8"})"), "",
         "  upload failed: server returned HTTP 0\n"},
        {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n{\"result_url\":\"http://r/10\"}", "", kNoLink},
    };
    for (const auto& c : cases) {
        Capture out, err;
        const int accepted = report_reply(c.reply.c_str(), c.reply.size(), out.file, err.file);
        EXPECT_EQ(out.text(), c.out) << c.reply.substr(0, 200);
        EXPECT_EQ(err.text(), c.err) << c.reply.substr(0, 200);
        EXPECT_EQ(accepted, c.out.empty() ? 0 : 1) << c.reply.substr(0, 200);
    }
}

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

}  // namespace

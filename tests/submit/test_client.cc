// The upload client against the loopback results server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

const SampleRun run;

using Outcome = std::pair<std::string, std::string>;  // what was printed on out and on err

Outcome upload_to(const std::string& host, const std::string& port, int reply_ms = 10000) {
    Capture out, err;
    const UploadTarget target = {host.c_str(), port.c_str(), "/api/v1/submissions", 5000, reply_ms};
    run.upload(&target, out.file, err.file);
    return {out.text(), err.text()};
}

std::string http_reply(const std::string& status_line, const std::string& body) {
    return status_line + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

const std::string kCreated = http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1"})");
const char kUploaded[] = "  Results uploaded (HTTP 201).\n  View your result: http://r/1\n";

TEST(UploadClient, ReplyOutcomesAndTheRequest) {
    const char no_link[] = "  upload failed: server did not return a result link\n";
    const auto body_of = [](size_t link_end) {  // a body whose link ends at byte link_end
        const std::string link = "\",\"result_url\":\"http://r/5\"";
        return "{\"pad\":\"" + std::string(link_end - 8 - link.size(), 'x') + link + "}";
    };
    const struct {
        std::string reply, out, err;
    } cases[] = {
        {http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1","claim_url":"http://c/claim/K7Q2"})"),
         std::string(kUploaded) + "  Claim code: K7Q2\n  Claim your result: http://c/claim/K7Q2\n", ""},
        {kCreated, kUploaded, ""},
        {http_reply("HTTP/1.0 200 OK", R"({"result_url":"http:\/\/r\/2","claim_url":"http://c/Q"})"),
         "  Results uploaded (HTTP 200).\n  View your result: http://r/2\n  Claim code: Q\n"
         "  Claim your result: http://c/Q\n",
         ""},
        // A link ending in a slash, or without one, is its own claim code.
        {http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1","claim_url":"http://c/claim/"})"),
         std::string(kUploaded) + "  Claim code: http://c/claim/\n  Claim your result: http://c/claim/\n", ""},
        {http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1","claim_url":"ABC1"})"),
         std::string(kUploaded) + "  Claim code: ABC1\n  Claim your result: ABC1\n", ""},
        // The link's closing quote as the last of the 2,047 body bytes read, then one byte beyond.
        {http_reply("HTTP/1.1 200 OK", body_of(2047)),
         "  Results uploaded (HTTP 200).\n  View your result: http://r/5\n", ""},
        {http_reply("HTTP/1.1 200 OK", body_of(2048)), "", no_link},
        {"HTTP/1.1 302 Found\r\nLocation: http://elsewhere/\r\n\r\n{\"result_url\":\"http://r/6\"}", "",
         "  upload failed: server returned HTTP 302\n"},
        {http_reply("HTTP/1.1 401 Unauthorized", "{}"), "", "  upload failed: API token was rejected (HTTP 401)\n"},
        {http_reply("HTTP/1.1 422 Unprocessable Entity", R"({"result_url":"http://r/7"})"), "",
         "  upload failed: server rejected the submission as invalid (HTTP 422)\n"},
        {http_reply("HTTP/1.1 500 Internal Server Error", ""), "", "  upload failed: server returned HTTP 500\n"},
        {http_reply("HTTX/1.1 201 Created", R"({"result_url":"http://r/8"})"), "",
         "  upload failed: server returned HTTP 0\n"},
        {"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n{\"result_url\":\"http://r/10\"}", "", no_link},
        // Longer than the 4,095 bytes read: the body is never reached, or the claim link is cut off.
        {"HTTP/1.1 201 Created\r\nX-Pad: " + std::string(4100, 'p') + "\r\n\r\n{\"result_url\":\"http://r/1\"}", "",
         no_link},
        {http_reply("HTTP/1.1 201 Created", "{\"result_url\":\"http://r/1\",\"pad\":\"" + std::string(9000, 'x') +
                                                "\",\"claim_url\":\"http://c/late\"}"),
         kUploaded, ""},
    };
    std::vector<std::string> replies;
    for (const auto& c : cases) replies.push_back(c.reply);
    ResultsServer server(replies);
    ASSERT_FALSE(server.port().empty());
    for (const auto& c : cases)
        EXPECT_EQ(upload_to("127.0.0.1", server.port()), Outcome(c.out, c.err)) << c.reply.substr(0, 200);
    ASSERT_EQ(server.finish(), 0);
    EXPECT_EQ(server.file("report"), "valid\n");

    static char doc[kDocumentCapacity];
    size_t length = 0;
    ASSERT_EQ(run.build(doc, sizeof doc, &length), 1);
    EXPECT_EQ(server.file("request"),
              "POST /api/v1/submissions HTTP/1.1\r\nHost: 127.0.0.1:" + server.port() +
                  "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(length) +
                  "\r\nConnection: close\r\n\r\n" + std::string(doc, length));
}

TEST(UploadClient, AwkwardServers) {
    const struct {
        const char* mode;
        double delay;
        int reply_ms;
        const char *out, *err;
    } cases[] = {
        {"trickle", 0.001, 10000, kUploaded, ""},
        {"slow", 0.3, 10000, kUploaded, ""},
        // Stays connected: the time-out ends the wait and what came counts.
        {"linger", 0.0, 300, kUploaded, ""},
        {"silent", 0.0, 300, "", "  upload error: no server response\n"},
    };
    for (const auto& c : cases) {
        ResultsServer server({kCreated}, c.mode, c.delay);
        ASSERT_FALSE(server.port().empty());
        EXPECT_EQ(upload_to("127.0.0.1", server.port(), c.reply_ms), Outcome(c.out, c.err)) << c.mode;
        EXPECT_EQ(server.finish(), 0) << c.mode;
        EXPECT_EQ(server.file("report"), "valid\n") << c.mode;
    }
}

TEST(UploadClient, ServerClosingWhileTheRequestIsSent) {
    ResultsServer server({kCreated}, "close-early");
    ASSERT_FALSE(server.port().empty());
    // Far more than the socket buffers hold, so the reset meets the sender.
    const std::string request(64u << 20, 'x');
    const UploadTarget target = {"127.0.0.1", server.port().c_str(), "/api/v1/submissions", 5000, 10000};
    char reply[kReplyCapacity];
    size_t reply_length = 99;
    Capture err;
    EXPECT_EQ(http_exchange(&target, request.data(), request.size(), reply, &reply_length, err.file), 0);
    EXPECT_EQ(err.text(), "  upload error: send failed\n");
    EXPECT_EQ(reply_length, 0u);
    EXPECT_EQ(server.finish(), 0);
}

TEST(UploadClient, NoServer) {
    // A bound socket that does not listen refuses connections and keeps the
    // port from being taken meanwhile.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    EXPECT_EQ(upload_to("127.0.0.1", port), Outcome("", "  upload error: cannot connect to 127.0.0.1:" + port + "\n"));
    close(fd);
    EXPECT_EQ(upload_to("quillmoth-results.invalid", "80"),
              Outcome("", "  upload error: cannot resolve quillmoth-results.invalid\n"));
}

}  // namespace

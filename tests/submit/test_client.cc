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

const char kLinks[] = R"({"result_url":"http://results.test/r/abc","claim_url":"http://results.test/claim/K7Q2"})";

struct Outcome {
    std::string out, err;
};

Outcome upload_to(const std::string& host, const std::string& port, int connect_ms = 5000, int reply_ms = 10000) {
    static const SampleRun run;
    Capture out, err;
    const UploadTarget target = {host.c_str(), port.c_str(), "/api/v1/submissions", connect_ms, reply_ms};
    upload_result_to(&target, out.file(), err.file(), &run.info, &run.stats, run.duration_ms, run.raw_multi,
                     run.raw_single, run.real_multi, run.real_single);
    return {out.text(), err.text()};
}

std::string http_reply(const std::string& status_line, const std::string& body) {
    return status_line + "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string expected_request(const std::string& host_line) {
    static const SampleRun run;
    static char doc[kDocumentCapacity];
    size_t length = 0;
    build_result_document(doc, &length, &run.info, &run.stats, run.duration_ms, run.raw_multi, run.raw_single,
                          run.real_multi, run.real_single);
    return "POST /api/v1/submissions HTTP/1.1\r\n" + host_line + "\r\nContent-Type: application/json\r\n" +
           "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n" + std::string(doc, length);
}

// Serves one upload with the given server behaviour and returns what was printed.
Outcome serve(const ResultsServer::Options& options, int reply_ms) {
    ResultsServer server(options);
    if (server.port().empty()) {
        ADD_FAILURE() << "the results server did not start";
        return {};
    }
    const Outcome o = upload_to(options.host, server.port(), 5000, reply_ms);
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.report(), "valid\n");
    return o;
}

TEST(UploadClient, SendsTheExactRequestAndPrintsTheLinks) {
    ResultsServer::Options options;
    options.body = kLinks;
    ResultsServer server(options);
    ASSERT_FALSE(server.port().empty());
    const Outcome o = upload_to("127.0.0.1", server.port());
    ASSERT_EQ(server.finish(), 0);
    EXPECT_EQ(server.report(), "valid\n");
    EXPECT_EQ(server.request(), expected_request("Host: 127.0.0.1:" + server.port()));
    EXPECT_EQ(o.out,
              "  Results uploaded (HTTP 201).\n"
              "  View your result: http://results.test/r/abc\n"
              "  Claim code: K7Q2\n"
              "  Claim your result: http://results.test/claim/K7Q2\n");
    EXPECT_EQ(o.err, "");
}

TEST(UploadClient, OverIPv6) {
    ResultsServer::Options options;
    options.host = "::1";
    options.body = kLinks;
    ResultsServer server(options);
    if (server.port().empty()) GTEST_SKIP() << "no IPv6 loopback here";
    const Outcome o = upload_to("::1", server.port());
    ASSERT_EQ(server.finish(), 0);
    EXPECT_EQ(server.report(), "valid\n");
    EXPECT_EQ(server.request().rfind("POST /api/v1/submissions HTTP/1.1\r\nHost: ::1:" + server.port() + "\r\n", 0),
              0u);
    EXPECT_EQ(o.out.rfind("  Results uploaded (HTTP 201).\n", 0), 0u);
}

TEST(UploadClient, ReplyOutcomes) {
    const std::string pad(2100, 'x');
    const struct {
        const char* name;
        std::string reply;
        std::string out, err;
    } cases[] = {
        {"201 without claim link", http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1"})"),
         "  Results uploaded (HTTP 201).\n  View your result: http://r/1\n", ""},
        {"HTTP/1.0", http_reply("HTTP/1.0 200 OK", R"({"result_url":"http:\/\/r\/2","claim_url":"http://c/Q"})"),
         "  Results uploaded (HTTP 200).\n  View your result: http://r/2\n  Claim code: Q\n"
         "  Claim your result: http://c/Q\n",
         ""},
        {"claim link ending in a slash",
         http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/3","claim_url":"http://c/claim/"})"),
         "  Results uploaded (HTTP 201).\n  View your result: http://r/3\n  Claim code: http://c/claim/\n"
         "  Claim your result: http://c/claim/\n",
         ""},
        {"claim link without a slash",
         http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/4","claim_url":"ABC123"})"),
         "  Results uploaded (HTTP 201).\n  View your result: http://r/4\n  Claim code: ABC123\n"
         "  Claim your result: ABC123\n",
         ""},
        {"link beyond the body copy",
         http_reply("HTTP/1.1 200 OK", "{\"pad\":\"" + pad + "\",\"result_url\":\"http://r/5\"}"), "",
         "  upload failed: server did not return a result link\n"},
        {"empty link", http_reply("HTTP/1.1 201 Created", R"({"result_url":""})"), "",
         "  upload failed: server did not return a result link\n"},
        {"302", "HTTP/1.1 302 Found\r\nLocation: http://elsewhere/\r\n\r\n{\"result_url\":\"http://r/6\"}", "",
         "  upload failed: server returned HTTP 302\n"},
        {"401", http_reply("HTTP/1.1 401 Unauthorized", "{}"), "",
         "  upload failed: API token was rejected (HTTP 401)\n"},
        {"422", http_reply("HTTP/1.1 422 Unprocessable Entity", R"({"result_url":"http://r/7"})"), "",
         "  upload failed: server rejected the submission as invalid (HTTP 422)\n"},
        {"500", http_reply("HTTP/1.1 500 Internal Server Error", ""), "",
         "  upload failed: server returned HTTP 500\n"},
        {"unreadable status line", http_reply("HTTX/1.1 201 Created", R"({"result_url":"http://r/8"})"), "",
         "  upload failed: server returned HTTP 0\n"},
        {"status line without a code", http_reply("HTTP/1.1 Created", R"({"result_url":"http://r/9"})"), "",
         "  upload failed: server returned HTTP 0\n"},
        {"no empty line after the header",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n{\"result_url\":\"http://r/10\"}", "",
         "  upload failed: server did not return a result link\n"},
        {"header longer than the reply buffer",
         "HTTP/1.1 201 Created\r\nX-Pad: " + std::string(4100, 'p') + "\r\n\r\n{\"result_url\":\"http://r/11\"}", "",
         "  upload failed: server did not return a result link\n"},
        {"body longer than the reply buffer",
         http_reply("HTTP/1.1 201 Created", "{\"result_url\":\"http://r/12\",\"pad\":\"" + std::string(9000, 'x') +
                                                "\",\"claim_url\":\"http://c/late\"}"),
         "  Results uploaded (HTTP 201).\n  View your result: http://r/12\n", ""},
    };
    ResultsServer::Options options;
    for (const auto& c : cases) options.replies.push_back(c.reply);
    ResultsServer server(options);
    ASSERT_FALSE(server.port().empty());
    for (const auto& c : cases) {
        const Outcome o = upload_to("127.0.0.1", server.port());
        EXPECT_EQ(o.out, c.out) << c.name;
        EXPECT_EQ(o.err, c.err) << c.name;
    }
    EXPECT_EQ(server.finish(), 0);
    EXPECT_EQ(server.report(), "valid\n");
}

TEST(UploadClient, AwkwardButAnsweringServers) {
    const std::string reply = http_reply("HTTP/1.1 201 Created", R"({"result_url":"http://r/1"})");
    const std::string success = "  Results uploaded (HTTP 201).\n  View your result: http://r/1\n";
    ResultsServer::Options options;
    options.replies = {reply};

    options.mode = "trickle";  // one byte at a time
    options.delay = 0.001;
    Outcome o = serve(options, 10000);
    EXPECT_EQ(o.out, success);
    EXPECT_EQ(o.err, "");

    options.mode = "slow";
    options.delay = 0.3;
    o = serve(options, 10000);
    EXPECT_EQ(o.out, success);
    EXPECT_EQ(o.err, "");

    // Keeps the connection open after its reply: the time-out ends the wait
    // and the reply held so far counts.
    options.mode = "linger";
    o = serve(options, 300);
    EXPECT_EQ(o.out, success);
    EXPECT_EQ(o.err, "");
}

TEST(UploadClient, SilentServer) {
    ResultsServer::Options options;
    options.mode = "silent";
    const Outcome o = serve(options, 300);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "  upload error: no server response\n");
}

TEST(UploadClient, ServerClosingWhileTheRequestIsSent) {
    ResultsServer::Options options;
    options.mode = "close-early";
    ResultsServer server(options);
    ASSERT_FALSE(server.port().empty());
    // Far more than the socket buffers hold, so the reset meets the sender.
    std::string request(64u << 20, 'x');
    const UploadTarget target = {"127.0.0.1", server.port().c_str(), "/api/v1/submissions", 5000, 10000};
    char reply[kReplyCapacity];
    size_t reply_length = 99;
    Capture err;
    EXPECT_EQ(http_exchange(&target, request.data(), request.size(), reply, &reply_length, err.file()), 0);
    EXPECT_EQ(err.text(), "  upload error: send failed\n");
    EXPECT_EQ(reply_length, 0u);
    EXPECT_EQ(server.finish(), 0);
}

TEST(UploadClient, NothingListening) {
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
    const Outcome o = upload_to("127.0.0.1", port);
    close(fd);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "  upload error: cannot connect to 127.0.0.1:" + port + "\n");
}

TEST(UploadClient, ConnectTimesOut) {
    ResultsServer::Options options;
    options.mode = "backlog-full";
    ResultsServer server(options);
    ASSERT_FALSE(server.port().empty());
    const Outcome o = upload_to("127.0.0.1", server.port(), 300);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "  upload error: cannot connect to 127.0.0.1:" + server.port() + "\n");
    EXPECT_EQ(server.finish(), 0);
}

TEST(UploadClient, UnknownHost) {
    const Outcome o = upload_to("quillmoth-results.invalid", "80");
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "  upload error: cannot resolve quillmoth-results.invalid\n");
}

}  // namespace

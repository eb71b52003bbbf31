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

const RunRecord record = sample_record();

using Outcome = std::pair<std::string, std::string>;  // what was printed on out and on err

Outcome upload_to(const std::string& host, const std::string& port, int reply_ms = 10000) {
    Capture out, err;
    const UploadTarget target = {host.c_str(), port.c_str(), "/api/v1/submissions", 5000, reply_ms};
    upload_result_with(&target, out.file, err.file, &record);
    return {out.text(), err.text()};
}

const std::string kCreated = "HTTP/1.1 201 Created\r\nConnection: close\r\n\r\n"
                             R"({"result_url":"http://r/1","claim_url":"http://c/claim/K7Q2"})";
const char kUploaded[] = "  Results uploaded (HTTP 201).\n  View your result: http://r/1\n"
                         "  Claim code: K7Q2\n  Claim your result: http://c/claim/K7Q2\n";

TEST(UploadClient, SendsTheRequestAndReadsAtMost4095Bytes) {
    ResultsServer server({kCreated, "HTTP/1.1 201 Created\r\nX-Pad: " + std::string(4100, 'p') +
                                        "\r\n\r\n{\"result_url\":\"http://r/1\"}"});
    ASSERT_FALSE(server.port().empty());
    EXPECT_EQ(upload_to("127.0.0.1", server.port()), Outcome(kUploaded, ""));
    EXPECT_EQ(upload_to("127.0.0.1", server.port()),
              Outcome("", "  upload failed: server did not return a result link\n"));
    ASSERT_EQ(server.finish(), 0);
    EXPECT_EQ(server.file("report"), "valid\n");

    static char doc[kDocumentCapacity];
    size_t length = 0;
    ASSERT_EQ(build_result_document(doc, &length, &record), 1);
    EXPECT_EQ(server.file("request"),
              "POST /api/v1/submissions HTTP/1.1\r\nHost: 127.0.0.1:" + server.port() +
                  "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(length) +
                  "\r\nConnection: close\r\n\r\n" + std::string(doc, length));
}

TEST(UploadClient, LinkGoesToStandardErrorWhenStandardOutputFails) {
    ResultsServer server({kCreated});
    ASSERT_FALSE(server.port().empty());
    const UploadTarget target = {"127.0.0.1", server.port().c_str(), "/api/v1/submissions", 5000, 10000};
    FILE* unwritable = std::fopen("/dev/null", "r");  // every write fails, as on a closed or full output
    ASSERT_NE(unwritable, nullptr);
    Capture err;
    upload_result_with(&target, unwritable, err.file, &record);
    std::fclose(unwritable);
    EXPECT_EQ(err.text(), "  the result was uploaded, but standard output could not be written:\n" +
                              std::string(kUploaded));
    EXPECT_EQ(server.finish(), 0);
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

// Uploading: the result document's exact text, reading the service's reply,
// the client against the loopback results server, and the configure-time
// split of the results URL (run through CMake's script mode).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>

#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

char doc[kDocumentCapacity];

std::string build(const RunRecord& record) {
    size_t length = 0;
    EXPECT_EQ(build_result_document(doc, &length, &record), 1);
    EXPECT_EQ(std::strlen(doc), length);
    return std::string(doc, length);
}

TEST(Document, MatchesGoldenText) {
    std::string golden = read_whole_file(QUILLMOTH_TEST_DIR "/submit/golden_document.json");
    ASSERT_FALSE(golden.empty());
    if (golden.back() == '\n') golden.pop_back();
    // The golden text is an x86-64 build's; another architecture names itself there.
    const std::string x86 = "\"architecture\":\"x86-64\"";
    golden.replace(golden.find(x86), x86.size(), std::string("\"architecture\":\"") + architecture_name() + "\"");
    RunRecord record = sample_record();
    EXPECT_EQ(build(record), golden);
    // Spelled out, so that a regenerated golden file cannot hide them: the
    // latency display metric is ns per access (1.625 s / 49e6 loads), and
    // checksums are strings, 2^64-1 included.
    EXPECT_NE(golden.find("\"display_metric\":33.163265306122447,\"rate\":10000.5,\"seconds\":1.625,\"iterations\":49"),
              std::string::npos);
    EXPECT_NE(golden.find("\"checksum\":\"18446744073709551615\""), std::string::npos);
    // Noisy runs and threads that could not start are warned about, never sent.
    for (auto& pass : record.notes)
        for (PassNotes& notes : pass) notes = {0.4, 0.9, 3};
    EXPECT_EQ(build(record), golden);

    record.stats = kBackgroundSkipped;
    EXPECT_NE(build(record).find("\"system_environment\":{\"kernel\":\"Linux 6.1.0-18-amd64\",\"sample_seconds\":0,"
                                 "\"background_cpu_average_percent\":0,\"background_cpu_peak_percent\":0,"
                                 "\"available_memory_mb\":-1,\"process_count\":-1},\"raw_tests\":[{\"id\""),
              std::string::npos);
}

TEST(Document, EscapesTheMachineTexts) {
    RunRecord record = sample_record();
    std::snprintf(record.info.cpu, sizeof record.info.cpu, "a\"b\\c\td\001e\xc3\xa9");  // byte 1 is dropped
    std::snprintf(record.info.kernel, sizeof record.info.kernel, "line\nfeed\rret");
    std::string quotes;  // a full field of quotation marks fills its copy exactly
    for (int i = 0; i < 255; ++i) quotes += "\\\"";
    std::memset(record.info.model, '"', 255);
    const std::string text = build(record);
    EXPECT_EQ(text.rfind("{\"cpu\":\"a\\\"b\\\\c\\tde\xc3\xa9\",\"model\":\"" + quotes + "\",\"cpu_cores\"", 0), 0u);
    EXPECT_NE(text.find("\"kernel\":\"line\\nfeed\\rret\""), std::string::npos);

    // An escape that does not fit whole is left out with everything after it.
    char out[8];
    json_escape("ab\"cd", out, 4);
    EXPECT_STREQ(out, "ab");
    json_escape("ab\"cd", out, 5);
    EXPECT_STREQ(out, "ab\\\"");
}

TEST(Document, WhatDoesNotFitFailsAtTheLastWholeObjectOrAsAWhole) {
    const RunRecord record = sample_record();
    static char whole[kDocumentCapacity];
    size_t full = 0;
    ASSERT_EQ(append_result_tests(whole, &full, record.results[kRawMulti], record.results[kRawSingle]), 1);
    for (size_t capacity = 1; capacity <= full + 1; ++capacity) {
        size_t length = 0;
        ASSERT_EQ(append_result_tests_with(doc, capacity, &length, record.results[kRawMulti],
                                           record.results[kRawSingle]),
                  capacity > full ? 1 : 0);
        ASSERT_LT(length, capacity);
        ASSERT_TRUE(length == 0 || (whole[length - 1] == '}' && (length == full || whole[length] == ','))) << capacity;
        ASSERT_EQ(std::memcmp(doc, whole, length), 0) << capacity;
    }

    const size_t document = build(record).size();
    // The closing "]}}" is written only with five bytes to spare.
    size_t length = 0;
    EXPECT_EQ(build_result_document_with(doc, document + 2, &length, &record), 1);
    EXPECT_EQ(length, document);
    for (size_t capacity : {document + 1, document - 2, document - 3, size_t{2000}, size_t{200}, size_t{1}}) {
        length = 77;
        EXPECT_EQ(build_result_document_with(doc, capacity, &length, &record), 0) << capacity;
        EXPECT_EQ(length, 77u) << capacity;
    }
}

std::string http_reply(const std::string& status_line, const std::string& body) {
    return status_line + "\r\nContent-Type: application/json\r\n\r\n" + body;
}

const char kUploaded[] = "  Results uploaded (HTTP 201).\n  View your result: http://r/1\n";
const std::string kClaimed = std::string(kUploaded) + "  Claim code: K7Q2\n  Claim your result: http://c/claim/K7Q2\n";
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
         kClaimed, ""},
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
    const std::string v1023(1023, 'v');
    const struct {
        std::string body;
        int found;
        std::string value;
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
    };
    for (const auto& c : cases) {
        char out[kLinkCapacity + 16];
        std::memset(out, 'X', sizeof out);
        EXPECT_EQ(json_string_field(c.body.c_str(), "result_url", out), c.found) << c.body;
        EXPECT_EQ(out[kLinkCapacity], 'X') << "wrote past the link buffer: " << c.body;
        out[kLinkCapacity] = '\0';
        EXPECT_EQ(out, c.value) << c.body;
    }
}

const RunRecord record = sample_record();

using Outcome = std::pair<std::string, std::string>;  // what was printed on out and on err

Outcome upload_to(const std::string& host, const std::string& port, int reply_ms = 10000, FILE* to = nullptr) {
    Capture out, err;
    const UploadTarget target = {host.c_str(), port.c_str(), "/api/v1/submissions", 5000, reply_ms};
    upload_result_with(&target, to ? to : out.file, err.file, &record);
    return {out.text(), err.text()};
}

const std::string kCreated = "HTTP/1.1 201 Created\r\nConnection: close\r\n\r\n"
                             R"({"result_url":"http://r/1","claim_url":"http://c/claim/K7Q2"})";

TEST(UploadClient, SendsTheRequestAndReadsAtMost4095Bytes) {
    ResultsServer server({kCreated, "HTTP/1.1 201 Created\r\nX-Pad: " + std::string(4100, 'p') +
                                        "\r\n\r\n{\"result_url\":\"http://r/1\"}"});
    EXPECT_EQ(upload_to("127.0.0.1", server.port()), Outcome(kClaimed, ""));
    EXPECT_EQ(upload_to("127.0.0.1", server.port()), Outcome("", kNoLink));
    ASSERT_EQ(server.finish(), 0);
    EXPECT_EQ(server.file("report"), "valid\n");

    const std::string document = build(record);
    EXPECT_EQ(server.file("request"),
              "POST /api/v1/submissions HTTP/1.1\r\nHost: 127.0.0.1:" + server.port() +
                  "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(document.size()) +
                  "\r\nConnection: close\r\n\r\n" + document);
}

TEST(UploadClient, LinkGoesToStandardErrorWhenStandardOutputFails) {
    ResultsServer server({kCreated});
    FILE* unwritable = std::fopen("/dev/null", "r");  // every write fails, as on a closed or full output
    EXPECT_EQ(upload_to("127.0.0.1", server.port(), 10000, unwritable),
              Outcome("", "  the result was uploaded, but standard output could not be written:\n" + kClaimed));
    std::fclose(unwritable);
    EXPECT_EQ(server.finish(), 0);
}

TEST(UploadClient, AwkwardServers) {
    const struct {
        const char* mode;
        double delay;
        int reply_ms;
        std::string out, err;
    } cases[] = {
        {"trickle", 0.001, 10000, kClaimed, ""},
        {"slow", 0.3, 10000, kClaimed, ""},
        // Stays connected: the time-out ends the wait and what came counts.
        {"linger", 0.0, 300, kClaimed, ""},
        {"silent", 0.0, 300, "", "  upload error: no server response\n"},
    };
    for (const auto& c : cases) {
        ResultsServer server({kCreated}, c.mode, c.delay);
            EXPECT_EQ(upload_to("127.0.0.1", server.port(), c.reply_ms), Outcome(c.out, c.err)) << c.mode;
        EXPECT_EQ(server.finish(), 0) << c.mode;
    }
}

TEST(UploadClient, ServerClosingWhileTheRequestIsSent) {
    ResultsServer server({kCreated}, "close-early");
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
    // Field by field: macOS's sockaddr_in begins with a length byte that Linux's lacks.
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    EXPECT_EQ(upload_to("127.0.0.1", port), Outcome("", "  upload error: cannot connect to 127.0.0.1:" + port + "\n"));
    close(fd);
    EXPECT_EQ(upload_to("quillmoth-results.invalid", "80"),
              Outcome("", "  upload error: cannot resolve quillmoth-results.invalid\n"));
}

// The exit status and output of splitting url.
std::pair<int, std::string> split(const std::string& url) {
    // The URLs below hold no apostrophe, so single quotes keep them whole.
    const std::string command =
        "'" QM_CMAKE_COMMAND "' -DQM_SPLIT_URL='" + url + "' -P '" QM_RESULTS_URL_SCRIPT "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    for (int c; (c = std::fgetc(pipe)) != EOF;) output.push_back(static_cast<char>(c));
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(ResultsUrl, SplitsUsableUrlsAndRejectsTheRest) {
    const std::pair<const char*, const char*> usable[] = {
        {"http://localhost", "host=localhost port=80 path="},
        {"http://localhost/", "host=localhost port=80 path="},
        {"http://127.0.0.1:18080", "host=127.0.0.1 port=18080 path="},
        {"http://results.example.test:8080/quillmoth/", "host=results.example.test port=8080 path=/quillmoth"},
        {"http://results.example.test:0080/a/b//", "host=results.example.test port=80 path=/a/b"},
        {"http://h/v1%20x/~u:p@q", "host=h port=80 path=/v1%20x/~u:p@q"},
    };
    for (const auto& [url, pieces] : usable)
        EXPECT_EQ(split(url), std::make_pair(0, "-- " + std::string(pieces) + "\n"));
    // The longest base path that still fits the request path.
    const std::string long_path = "/" + std::string(491, 'p');
    EXPECT_EQ(split("http://h" + long_path).first, 0);

    const std::string rejected[] = {
        "https://results.example.test", "ftp://results.example.test", "results.example.test", "http://",
        "http:///path", "http://:8080", "http://user@host", "http://host:0", "http://host:65536",
        "http://host:123456", "http://host:", "http://host/a b", "http://host/a\"b", "http://host/a\\b",
        "http://host/?query", "http://host/#fragment", "http://[::1]:8080", "HTTP://host", " http://host",
        "http://" + std::string(256, 'h'), "http://h" + long_path + "p"};
    for (const std::string& url : rejected) {
        const auto [status, output] = split(url);
        EXPECT_NE(status, 0) << url << "\n" << output;
        EXPECT_NE(output.find("QUILLMOTH_RESULTS_URL"), std::string::npos) << url << "\n" << output;
    }
}

}  // namespace

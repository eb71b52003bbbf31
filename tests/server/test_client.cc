// The benchmark's own upload code against the real server on a loopback
// port: the lines it prints for 201, 422, 413 and 429, and the stored result
// behind the printed link.
#include "server/harness.h"
#include "submit/server_harness.h"
#include "submit/submit.h"

namespace {

struct Printed {
    std::string out, err;
};

Printed upload(const RunRecord& run, int port, const char* path = "/api/v1/submissions") {
    Capture out, err;
    const std::string port_text = std::to_string(port);
    const UploadTarget target = {"127.0.0.1", port_text.c_str(), path, 5000, 10000};
    upload_result_with(&target, out.file, err.file, &run);
    return {out.text(), err.text()};
}

// The lines of a successful upload; returns the link and the code.
std::pair<std::string, std::string> parse_success(const std::string& out, const std::string& public_url) {
    char link[1024] = "", code[1024] = "", claim[1024] = "";
    const int n = std::sscanf(out.c_str(),
                              "  Results uploaded (HTTP 201).\n  View your result: %1023s\n  Claim code: %1023s\n"
                              "  Claim your result: %1023s\n",
                              link, code, claim);
    EXPECT_EQ(n, 3) << out;
    EXPECT_EQ(std::string(claim), public_url + "/claim/" + code);
    EXPECT_EQ(std::string(link).rfind(public_url + "/results/", 0), 0u) << link;
    return {link, code};
}

TEST(RealClient, UploadPrintsTheLinkAndTheCodeOfTheStoredResult) {
    BackendStore backend("sqlite");
    ASSERT_TRUE(backend.store) << backend.error;
    TestServer server(backend.store.get());
    const RunRecord run = sample_record();
    const Printed printed = upload(run, server.port());
    EXPECT_EQ(printed.err, "");
    const auto [link, code] = parse_success(printed.out, server.public_url());

    // What the link names is the run that was uploaded, byte for byte as sent.
    const std::string id = link.substr(link.rfind('/') + 1);
    char doc[kDocumentCapacity];
    size_t length = 0;
    ASSERT_EQ(build_result_document_with(doc, sizeof doc, &length, &run), 1);
    const auto fetched = server.client().Get("/api/v1/results/" + id);
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->status, 200);
    EXPECT_EQ(fetched->body, std::string(doc, length));

    // The printed code is the claim: its hash finds the same result.
    unsigned char hash[32];
    hash_claim_code(code, hash);
    StoredResult claimed;
    ASSERT_EQ(backend.store->find_by_claim(hash, &claimed), StoreStatus::ok);
    EXPECT_EQ(claimed.summary.id, id);
    EXPECT_EQ(claimed.summary.cpu, "Sample CPU @ 3.00GHz");
}

TEST(RealClient, RefusalLinesAsTheBenchmarkPrintsThem) {
    BackendStore backend("sqlite");
    ASSERT_TRUE(backend.store) << backend.error;
    TestServer server(backend.store.get(), options_with({"--upload-limit", "2"}));

    RunRecord broken = sample_record();
    broken.results[kRawSingle][3].threads = 0;  // a pass on no thread breaks a rule
    Printed p = upload(broken, server.port());
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "  upload failed: server rejected the submission as invalid (HTTP 422)\n");

    // No run makes a document over the limit, so the exchange gets one by hand.
    const std::string body(kMaxBodyBytes + 1, ' ');
    const std::string request = "POST /api/v1/submissions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                "application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    const std::string port = std::to_string(server.port());
    const UploadTarget target = {"127.0.0.1", port.c_str(), "/api/v1/submissions", 5000, 10000};
    static char reply[kReplyCapacity];
    size_t reply_length = 0;
    Capture out, err;
    ASSERT_EQ(http_exchange(&target, request.data(), request.size(), reply, &reply_length, err.file), 1) << err.text();
    report_reply(reply, reply_length, out.file, err.file);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "  upload failed: server returned HTTP 413\n");

    // The limit is 2 a minute and the 422 counted: one more goes through.
    const RunRecord run = sample_record();
    p = upload(run, server.port());
    EXPECT_EQ(p.err, "");
    p = upload(run, server.port());
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "  upload failed: server returned HTTP 429\n");
}

}  // namespace

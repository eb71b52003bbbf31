// The HTTP API over a real loopback connection, for every storage backend:
// upload, fetch and list, refusals with their statuses, limits, headers and
// the access log; then the benchmark's own upload code against it.
#include "server/harness.h"

namespace {

using nlohmann::json;

const char kUploadPath[] = "/api/v1/submissions";

// One exchange through the benchmark's own HTTP code, for requests that an
// HTTP client library would refuse to send. It reads until the server closes
// or 4 s pass; "" when nothing came back.
std::string raw_exchange(int port, const std::string& request) {
    const std::string port_text = std::to_string(port);
    const UploadTarget target = {"127.0.0.1", port_text.c_str(), kUploadPath, 2000, 4000};
    static char reply[kReplyCapacity];
    size_t length = 0;
    Capture err;
    return http_exchange(&target, request.data(), request.size(), reply, &length, err.file) ? std::string(reply, length)
                                                                                            : "";
}

void expect_security_headers(const httplib::Result& r, const std::string& what) {
    ASSERT_TRUE(r) << what;
    EXPECT_EQ(r->get_header_value("Content-Security-Policy"),
              "default-src 'none'; style-src 'self'; img-src 'self' data:; form-action 'self'; "
              "frame-ancestors 'none'; base-uri 'none'")
        << what;
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << what;
    EXPECT_EQ(r->get_header_value("Referrer-Policy"), "no-referrer") << what;
}

using Http = BackendTest;

TEST_P(Http, UploadThenFetchExactlyAndFindInTheList) {
    TestServer server(backend.store.get(), options_with({"--upload-limit", "0"}));
    ASSERT_GT(server.port(), 0);
    auto client = server.client();
    const std::string doc = document_with_cpu("Zeta Pro");
    const auto posted = client.Post(kUploadPath, doc, "application/json");
    ASSERT_TRUE(posted);
    ASSERT_EQ(posted->status, 201) << posted->body;
    expect_security_headers(posted, "201");
    const json reply = json::parse(posted->body);
    const std::string id = reply["id"];
    EXPECT_TRUE(looks_like_result_id(id));
    EXPECT_EQ(reply["result_url"], server.public_url() + "/results/" + id);
    const std::string claim = reply["claim_url"];
    ASSERT_EQ(claim.rfind(server.public_url() + "/claim/", 0), 0u);
    EXPECT_TRUE(looks_like_claim_code(claim.substr(claim.rfind('/') + 1)));
    // The body keeps its published order: id, result_url, claim_url.
    EXPECT_LT(posted->body.find("\"id\""), posted->body.find("\"result_url\""));
    EXPECT_LT(posted->body.find("\"result_url\""), posted->body.find("\"claim_url\""));

    const auto fetched = client.Get("/api/v1/results/" + id);
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->status, 200);
    EXPECT_EQ(fetched->body, doc);
    EXPECT_EQ(fetched->get_header_value("Content-Type"), "application/json");

    const auto listed = client.Get("/api/v1/results?limit=5&cpu=zeta%20PRO");
    ASSERT_TRUE(listed);
    ASSERT_EQ(listed->status, 200) << listed->body;
    const json list = json::parse(listed->body);
    EXPECT_EQ(list["total"], 1);
    ASSERT_EQ(list["results"].size(), 1u);
    EXPECT_EQ(list["results"][0]["id"], id);
    EXPECT_EQ(list["results"][0]["cpu_threads"], 8);
    EXPECT_EQ(list["results"][0]["figures"]["raw"]["multicore"][9], 33.163265306122447);
}

TEST_P(Http, RefusalsCarryTheirStatusAndHeaders) {
    TestServer server(backend.store.get(), options_with({"--upload-limit", "0"}));
    auto client = server.client();
    const std::string too_big(kMaxBodyBytes + 1, ' ');
    std::string wrong_suite = golden_document();
    wrong_suite.replace(wrong_suite.find("quillmoth-cpu-v2"), 16, "quillmoth-cpu-v9");
    const struct {
        const char* method;
        std::string path, body;
        int status;
        const char* says;
    } cases[] = {
        {"POST", kUploadPath, wrong_suite, 422, "workload_suite must be"},
        {"POST", kUploadPath, "not json", 422, "not JSON"},
        {"POST", kUploadPath, too_big, 413, "131072"},
        {"GET", kUploadPath, "", 405, "method not allowed"},
        {"PUT", kUploadPath, "{}", 405, "method not allowed"},
        {"POST", "/api/v1/results/abc", "{}", 405, "method not allowed"},
        {"DELETE", "/api/v1/results", "", 405, "method not allowed"},
        {"GET", "/api/v1/nothing", "", 404, "not found"},
        {"GET", "/api/v1/results/" + new_result_id(), "", 404, "no such result"},
        {"GET", "/api/v1/results/..%2f..%2fetc", "", 404, "not found"},
        {"GET", "/api/v1/results?limit=0", "", 400, "limit"},
        {"GET", "/api/v1/results?limit=101", "", 400, "limit"},
        {"GET", "/api/v1/results?offset=-1", "", 400, "offset"},
        {"GET", "/nowhere", "", 404, "not found"},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.method) + " " + c.path;
        httplib::Result r = c.method == std::string("POST")     ? client.Post(c.path.c_str(), c.body, "application/json")
                            : c.method == std::string("PUT")    ? client.Put(c.path.c_str(), c.body, "application/json")
                            : c.method == std::string("DELETE") ? client.Delete(c.path.c_str())
                                                                : client.Get(c.path.c_str());
        ASSERT_TRUE(r) << what;
        EXPECT_EQ(r->status, c.status) << what << ": " << r->body;
        EXPECT_NE(r->body.find(c.says), std::string::npos) << what << ": " << r->body;
        expect_security_headers(r, what);
    }
    expect_security_headers(client.Get("/"), "front page");
}

// Bodies that would be read without bound are refused from the header, at
// once, and the connection is closed rather than parsed further.
TEST_P(Http, UnboundedBodiesAreRefusedUnread) {
    TestServer server(backend.store.get());
    const std::string head = "POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\n";
    const struct {
        std::string request;
        const char* status;
    } cases[] = {
        {head + "Content-Length: 99999999999999\r\n\r\n" + std::string(200000, 'x'), "HTTP/1.1 413"},
        {head + "Content-Length: 99999999999999999999999\r\n\r\n", "HTTP/1.1 400"},
        {head + "Content-Length: -5\r\n\r\n", "HTTP/1.1 400"},
        {head + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", "HTTP/1.1 411"},
        {head + "\r\n" + std::string(1000, 'y'), "HTTP/1.1 411"},
        {head + "Content-Encoding: gzip\r\nContent-Length: 10\r\n\r\n0123456789", "HTTP/1.1 415"},
    };
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = raw_exchange(server.port(), c.request);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(reply.rfind(c.status, 0), 0u) << c.request.substr(0, 90) << " -> " << reply.substr(0, 40);
        EXPECT_LT(ms, 2000) << c.status << ": the connection was left open";
        EXPECT_EQ(reply.find("HTTP/1.1", 5), std::string::npos) << "a second answer: the body was parsed";
    }
}

TEST_P(Http, UploadLimitPerAddressAnswers429) {
    TestServer server(backend.store.get(), options_with({"--upload-limit", "3"}));
    auto client = server.client();
    std::vector<int> statuses;
    for (int i = 0; i < 5; ++i) {
        const auto r = client.Post(kUploadPath, i == 1 ? std::string("{}") : golden_document(), "application/json");
        ASSERT_TRUE(r);
        statuses.push_back(r->status);
        if (r->status == 429) {
            EXPECT_EQ(r->get_header_value("Retry-After"), "60");
            expect_security_headers(r, "429");
        }
    }
    // Refused uploads count too: a client cannot probe the validator without limit.
    EXPECT_EQ(statuses, (std::vector<int>{201, 422, 201, 429, 429}));
    // Reading is never limited.
    EXPECT_EQ(client.Get("/api/v1/results")->status, 200);
}

TEST_P(Http, UnlistedModeAndAPublicUrlWithAPath) {
    TestServer server(backend.store.get(),
                      options_with({"--unlisted", "--public-url", "https://results.example/qm/", "--upload-limit", "0"}));
    auto client = server.client();
    const auto at_root = client.Post(kUploadPath, golden_document(), "application/json");
    const auto under_path = client.Post("/qm/api/v1/submissions", golden_document(), "application/json");
    ASSERT_TRUE(at_root && under_path);
    ASSERT_EQ(at_root->status, 201);
    ASSERT_EQ(under_path->status, 201);
    const std::string id = json::parse(under_path->body)["id"];
    EXPECT_EQ(json::parse(under_path->body)["result_url"], "https://results.example/qm/results/" + id);
    EXPECT_EQ(client.Get("/qm/api/v1/results/" + id)->status, 200);
    EXPECT_EQ(client.Get("/api/v1/results/" + id)->status, 200);
    const json list = json::parse(client.Get("/qm/api/v1/results")->body);
    EXPECT_EQ(list["total"], 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, Http, testing::ValuesIn(store_backends()));

TEST(AccessLog, OneLinePerRequestWithoutClaimCodes) {
    BackendStore backend("sqlite");
    char* buffer = nullptr;
    size_t size = 0;
    FILE* log = open_memstream(&buffer, &size);
    std::string code;
    {
        TestServer server(backend.store.get(), ServerOptions(), log);
        auto client = server.client();
        const auto r = client.Post(kUploadPath, golden_document(), "application/json");
        ASSERT_TRUE(r);
        const std::string claim = json::parse(r->body)["claim_url"];
        code = claim.substr(claim.rfind('/') + 1);
        client.Get("/claim/" + code);
        client.Post("/claim/" + code + "/delete", "confirm=1", "application/x-www-form-urlencoded");
        client.Get("/x%0aforged%20line");
    }  // the log line follows the answer: stop the server before reading the log
    fflush(log);
    const std::string text(buffer, size);
    EXPECT_EQ(text.find(code), std::string::npos) << text;
    EXPECT_NE(text.find("\"GET /claim/[code]\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"POST /api/v1/submissions\" 201"), std::string::npos) << text;
    EXPECT_NE(text.find("/x\\x0aforged\\x20line"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
    fclose(log);
    free(buffer);
}

TEST(Options, CommandLine) {
    const struct {
        std::vector<std::string> args;
        const char* error;  // nullptr: accepted
    } cases[] = {
        {{}, nullptr},
        {{"--listen", "[::1]:0", "--listen", "127.0.0.1:9000", "--db", "x.db", "--unlisted", "--upload-limit", "0"},
         nullptr},
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--listen"}, "option --listen needs a value"},
        {{"--listen", "127.0.0.1"}, "bad --listen address '127.0.0.1'"},
        {{"--listen", "::1:80"}, "bad --listen address"},
        {{"--listen", "127.0.0.1:65536"}, "bad --listen address"},
        {{"--listen", "[::1]80"}, "bad --listen address"},
        {{"--upload-limit", "-1"}, "bad --upload-limit"},
        {{"--upload-limit", "ten"}, "bad --upload-limit"},
        {{"--public-url", "ftp://x"}, "bad --public-url"},
        {{"--public-url", "http://x/a?b=1"}, "bad --public-url"},
        {{"--public-url", "http://user@x/"}, "bad --public-url"},
        {{"--public-url", "http://x/a.b(c)"}, "bad --public-url"},
        {{"--db", ""}, "--db needs a non-empty path"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"quillmoth-server"};
        for (const auto& a : c.args) argv.push_back(a.c_str());
        ServerOptions options;
        std::string error;
        const int ok = parse_server_options(static_cast<int>(argv.size()), argv.data(), &options, &error);
        if (c.error == nullptr) {
            EXPECT_EQ(ok, 1) << error;
        } else {
            EXPECT_EQ(ok, 0) << c.error;
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    ServerOptions defaults = options_with({});
    ASSERT_EQ(defaults.listen.size(), 2u);
    EXPECT_EQ(defaults.listen[0].host + ":" + std::to_string(defaults.listen[0].port), "127.0.0.1:8080");
    EXPECT_EQ(defaults.listen[1].host + ":" + std::to_string(defaults.listen[1].port), "::1:8080");
    EXPECT_EQ(defaults.db, "quillmoth-results.db");
    EXPECT_EQ(defaults.upload_limit, 60);
}

// ---- The benchmark as the client --------------------------------------------

struct Printed {
    std::string out, err;
};

Printed upload(const RunRecord& run, int port) {
    Capture out, err;
    const std::string port_text = std::to_string(port);
    const UploadTarget target = {"127.0.0.1", port_text.c_str(), kUploadPath, 5000, 10000};
    upload_result_with(&target, out.file, err.file, &run);
    return {out.text(), err.text()};
}

// The lines the benchmark prints for a 201, a 422 and a 429 (any other status
// is printed alike), and the stored result behind the printed link.
TEST(RealClient, PrintsTheLinkAndTheCodeOfTheStoredResultOrTheRefusal) {
    BackendStore backend("sqlite");
    ASSERT_TRUE(backend.store) << backend.error;
    TestServer server(backend.store.get(), options_with({"--upload-limit", "2"}));
    const RunRecord run = sample_record();
    Printed printed = upload(run, server.port());
    EXPECT_EQ(printed.err, "");
    char link[1024] = "", code[1024] = "", claim[1024] = "";
    ASSERT_EQ(std::sscanf(printed.out.c_str(),
                          "  Results uploaded (HTTP 201).\n  View your result: %1023s\n  Claim code: %1023s\n"
                          "  Claim your result: %1023s\n",
                          link, code, claim),
              3)
        << printed.out;
    EXPECT_EQ(std::string(claim), server.public_url() + "/claim/" + code);
    const std::string id = std::string(link).substr(std::string(link).rfind('/') + 1);
    EXPECT_EQ(std::string(link), server.public_url() + "/results/" + id);

    // What the link names is the run that was uploaded, byte for byte as sent.
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

    RunRecord broken = sample_record();
    broken.results[kRawSingle][3].threads = 0;  // a pass on no thread breaks a rule
    printed = upload(broken, server.port());
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err, "  upload failed: server rejected the submission as invalid (HTTP 422)\n");
    // The limit is 2 a minute and the 422 counted.
    printed = upload(run, server.port());
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err, "  upload failed: server returned HTTP 429\n");
}

}  // namespace

// The HTTP API and pages over a real loopback connection: every route's
// status and headers; then the benchmark's own upload code against it:
// upload, fetch, list and the limit. Malformed framing is in test_hostile.cc.
#include <sstream>

#include "server/harness.h"
#include "server/http/rate_limiter.h"

namespace {

using nlohmann::json;

const char kUploadPath[] = "/api/v1/submissions";

void expect_security_headers(const httplib::Result& r, const std::string& what) {
    ASSERT_TRUE(r) << what;
    EXPECT_EQ(r->get_header_value("Content-Security-Policy"),
              "default-src 'none'; style-src 'self'; img-src 'self' data:; form-action 'self'; "
              "frame-ancestors 'none'; base-uri 'none'")
        << what;
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << what;
    EXPECT_EQ(r->get_header_value("Referrer-Policy"), "no-referrer") << what;
}

using Http = SeededTest;

// Each route's status, what its body says, and the security headers that
// every answer carries, refusals included.
TEST_P(Http, EachRouteAnswersItsStatusWithTheSecurityHeaders) {
    TestServer server(store(), options_with({"--upload-limit", "0"}));
    auto client = server.client();
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
        {"POST", kUploadPath, std::string(kMaxBodyBytes + 1, ' '), 413, "131072"},
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
        {"GET", "/", "", 200, "Beta CPU"},
        {"GET", "/?cpu=alpha", "", 200, "with a CPU name containing"},
        {"GET", "/?after=99999999999999999999_1", "", 400, "Bad page"},
        {"GET", "/?cpu=" + std::string(201, 'x'), "", 400, "Bad filter"},
        {"GET", "/results/first", "", 200, "Alpha CPU"},
        {"GET", "/results/missing", "", 404, "Not found"},
        {"GET", "/compare?ids=first,second", "", 200, "Compare 2 results"},
        {"GET", "/compare?ids=first&ids=second", "", 200, "Compare 2 results"},
        {"GET", "/compare?ids=first&add=http%3A%2F%2Fhost%2Fresults%2Fsecond", "", 200, "Compare 2 results"},
        {"GET", "/compare?ids=first,first", "", 200, "Compare 1 result"},
        {"GET", "/compare", "", 400, "Nothing to compare"},
        {"GET", "/compare?ids=first,%3Cb%3E", "", 400, "Bad request"},
        {"GET", "/compare?ids=a,b,c,d,e,f,g,h,i", "", 400, "At most 8"},
        {"GET", "/compare?ids=first,nothere", "", 404, "no result with the id nothere"},
        {"GET", "/claim/wrong-code", "", 404, "Not found"},
        {"GET", "/style.css", "", 200, "svg.chart"},
    };
    for (const auto& c : cases) {
        const std::string what = std::string(c.method) + " " + c.path;
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        request.body = c.body;
        request.set_header("Content-Type", "application/json");
        const auto r = client.send(request);
        ASSERT_TRUE(r) << what;
        EXPECT_EQ(r->status, c.status) << what << ": " << r->body;
        EXPECT_NE(r->body.find(c.says), std::string::npos) << what << ": " << r->body;
        expect_security_headers(r, what);
    }
}

// The export reads back every listed result, all columns, in CSV and
// NDJSON, and `since` continues where a copy ended.
TEST_P(Http, ExportStreamsEveryListedResult) {
    // Sanitized, the same walk takes minutes: a tenth of the rows still
    // spans several store pages.
    constexpr int kRows = QUILLMOTH_SANITIZED ? 1000 : 10000;
    // Texts that a spreadsheet would run as formulas, one of them also quoted.
    StoredResult r = make_result("x0", "+Exported, \"quoted\"\nCPU", 1.5);
    r.summary.model = "=1+2";
    r.summary.operating_system = "\tLinux";
    r.summary.compiler = "@gcc";
    backend.add(r, "x0");
    // The other rows are copies made by the database itself: through the
    // store, 10,000 committed uploads took most of a test's time budget.
    const std::string columns = "uploaded_at, cpu, model, operating_system, compiler, architecture, cores, threads,"
                                " label, listed, processor_key, score_raw_multi, score_raw_single, score_real_multi,"
                                " score_real_single, score_multi, score_single, content_hash, document";
    const std::string copies =
        "INSERT INTO %1$s (id, flags, claim_hash, " + columns + ") SELECT 'x' || n.i, 4, %2$s, " + columns +
        " FROM %3$s, %1$s WHERE id = 'x0' ORDER BY n.i;"
        " INSERT INTO %4$s (seq, suite, pass, test, value) SELECT r.seq, f.suite, f.pass, f.test, f.value"
        " FROM %1$s r, %4$s f WHERE r.id <> 'x0' AND r.id LIKE 'x%%' AND f.seq = (SELECT seq FROM %1$s WHERE id = 'x0');"
        " UPDATE %1$s SET listed = %5$s WHERE id = 'x77'";
    char sql[2048], numbers[160];
    if (GetParam() == "sqlite") {
        std::snprintf(numbers, sizeof numbers,
                      "(WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < %d) SELECT i FROM c) n",
                      kRows - 1);
        std::snprintf(sql, sizeof sql, copies.c_str(), "results", "randomblob(32)", numbers, "figures", "0");
        ASSERT_EQ(sqlite_sql(backend.location, sql), "");
    } else {
#ifdef QM_HAVE_LIBPQ
        std::snprintf(numbers, sizeof numbers, "generate_series(1, %d) n(i)", kRows - 1);
        std::snprintf(sql, sizeof sql, copies.c_str(), "qm_results", "sha256(('x' || n.i)::bytea)", numbers,
                      "qm_figures", "false");
        ASSERT_EQ(pg_test_sql(backend.location, sql), "");
#endif
    }
    TestServer server(store(), options_with({"--upload-limit", "0"}));
    httplib::Client client = server.client();

    const auto csv = client.Get("/api/v1/export.csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);
    EXPECT_EQ(csv->get_header_value("Content-Type"), "text/csv; charset=utf-8");
    // Rows end in CRLF; the quoted CPU name holds a bare LF, which is no row end.
    const int lines = count_of(csv->body, "\r\n");
    EXPECT_EQ(lines, 1 + 2 + kRows - 1);  // header, the two seeded results, all but the unlisted one
    const std::string header = csv->body.substr(0, csv->body.find("\r\n"));
    EXPECT_EQ(count_of(header, ",") + 1, 10 + kScoreCount + 4 * kTestCount + 1);
    EXPECT_EQ(header.rfind("seq,id,uploaded_at,cpu,", 0), 0u);
    EXPECT_NE(header.find(",real_single_memory_bandwidth,flags"), std::string::npos);
    EXPECT_NE(csv->body.find(",\"'+Exported, \"\"quoted\"\"\nCPU\",'=1+2,"), std::string::npos);
    EXPECT_NE(csv->body.find(",'\tLinux,'@gcc,"), std::string::npos);

    const auto ndjson = client.Get("/api/v1/export.ndjson");
    ASSERT_TRUE(ndjson);
    std::istringstream in(ndjson->body);
    std::string line;
    int rows = 0;
    json last;
    while (std::getline(in, line)) last = json::parse(line), ++rows;
    EXPECT_EQ(rows, 2 + kRows - 1);
    EXPECT_EQ(last["cpu"], r.summary.cpu);  // JSON has no formulas: as stored
    EXPECT_EQ(last["compiler"], "@gcc");
    EXPECT_EQ(last["score_multi"].get<double>(), r.summary.scores[kScoreMulti]);
    EXPECT_EQ(last["raw_multi_memory_latency"].get<double>(), r.summary.figures[kSuiteRaw][kPassMulti][9]);
    EXPECT_EQ(last["flags"], "duplicate");

    const int64_t cut = last["seq"].get<int64_t>() - 10;
    const auto rest = client.Get("/api/v1/export.ndjson?since=" + std::to_string(cut));
    EXPECT_EQ(count_of(rest->body, "\n"), 10);
    EXPECT_EQ(client.Get("/api/v1/export.csv?since=-1")->status, 400);
}


// A token comes back a sixtieth of a minute after it was spent, not sooner,
// and one client's spending leaves another's bucket full.
TEST(RateLimiter, TokensComeBackAtTheRateNotSooner) {
    RateLimiter limiter(60);
    for (int i = 0; i < 60; ++i) ASSERT_TRUE(limiter.allow("a", 100.0)) << i;
    const struct {
        const char* key;
        double at;
        bool allowed;
    } steps[] = {
        {"a", 100.0, false}, {"b", 100.0, true}, {"a", 100.99, false},
        {"a", 101.0, true},  {"a", 101.0, false}, {"a", 102.5, true}, {"a", 102.5, false},
    };
    for (const auto& s : steps) EXPECT_EQ(limiter.allow(s.key, s.at), s.allowed) << s.key << " at " << s.at;
}



INSTANTIATE_TEST_SUITE_P(Backends, Http, testing::ValuesIn(store_backends()));

// A store that fails every call as a full disk does: every route that needs
// it answers 503 (try again later), the pages and the API alike.
struct FailingStore : ResultStore {
    StoreStatus insert(const StoredResult&, const unsigned char*) override { return StoreStatus::error; }
    StoreStatus get(const std::string&, StoredResult*) override { return StoreStatus::error; }
    StoreStatus list(const ListQuery&, std::vector<ResultSummary>*, int64_t*) override { return StoreStatus::error; }
    StoreStatus find_by_claim(const unsigned char*, StoredResult*) override { return StoreStatus::error; }
    StoreStatus set_label_and_listing(const std::string&, const std::string&, int) override {
        return StoreStatus::error;
    }
    StoreStatus remove(const std::string&) override { return StoreStatus::error; }
    std::string durability() override { return ""; }
    StoreStatus export_rows(int64_t, const ExportRow&) override { return StoreStatus::error; }
    StoreStatus cpu_list(int, std::vector<CpuEntry>*) override { return StoreStatus::error; }
    StoreStatus cpu_stats(const std::string&, int, CpuEntry*, CpuStats*) override { return StoreStatus::error; }
    StoreStatus cpu_results(const std::string&, int, int, std::vector<ResultSummary>*) override {
        return StoreStatus::error;
    }
    StoreStatus stale_processors(std::vector<std::string>*) override { return StoreStatus::error; }
    StoreStatus refresh_processor(const std::string&) override { return StoreStatus::error; }
    StoreStatus stats_version(int64_t*) override { return StoreStatus::error; }
    StoreStatus processor_rank(const std::string&, double, int64_t*, int64_t*) override { return StoreStatus::error; }
};

TEST(Http, EveryStoreFailureIs503) {
    FailingStore store;
    TestServer server(&store, options_with({"--upload-limit", "0"}));
    auto client = server.client();
    const std::string id = new_result_id();
    EXPECT_EQ(client.Post(kUploadPath, golden_document(), "application/json")->status, 503);
    for (const std::string& path : std::vector<std::string>{"/api/v1/results", "/api/v1/results/" + id, "/", "/results/" + id,
                                   "/compare?ids=" + id, "/claim/some-code", "/cpus", "/cpus/x86-64:a",
                                   "/api/v1/cpus/x86-64:a"})
        EXPECT_EQ(client.Get(path)->status, 503) << path;
    EXPECT_EQ(client.Post("/claim/some-code", "action=save&label=x", "application/x-www-form-urlencoded")->status, 503);
}

// What the benchmark prints for the upload of run: standard output and error.
using Printed = std::pair<std::string, std::string>;
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
    const auto [out, err] = upload(run, server.port());
    EXPECT_EQ(err, "");
    char link[1024] = "", code[1024] = "", claim[1024] = "";
    ASSERT_EQ(std::sscanf(out.c_str(),
                          "  Results uploaded (HTTP 201).\n  View your result: %1023s\n  Claim code: %1023s\n"
                          "  Claim your result: %1023s\n",
                          link, code, claim),
              3)
        << out;
    EXPECT_EQ(std::string(claim), server.public_url() + "/claim/" + code);
    const std::string id = std::string(link).substr(std::string(link).rfind('/') + 1);
    EXPECT_EQ(std::string(link), server.public_url() + "/results/" + id);

    // What the link names is the run that was uploaded, byte for byte as
    // sent, and the list finds it by a part of its CPU name in any case.
    char doc[kDocumentCapacity];
    size_t length = 0;
    ASSERT_EQ(build_result_document_with(doc, sizeof doc, &length, &run), 1);
    auto client = server.client();
    const auto fetched = client.Get("/api/v1/results/" + id);
    EXPECT_EQ(fetched->body, std::string(doc, length));
    EXPECT_EQ(fetched->get_header_value("Content-Type"), "application/json");
    const json list = json::parse(client.Get("/api/v1/results?limit=5&total=1&cpu=sample%20CPU%20@")->body);
    EXPECT_EQ(list["total"], 1);
    EXPECT_EQ(list["results"][0]["id"], id);
    EXPECT_EQ(list["results"][0]["cpu_threads"], 8);
    EXPECT_EQ(list["results"][0]["figures"]["raw"]["multicore"][9], 33.163265306122447);

    // The printed code is the claim: its hash finds the same result.
    StoredResult claimed;
    ASSERT_EQ(backend.store->find_by_claim(claim_hash(code).bytes, &claimed), StoreStatus::ok);
    EXPECT_EQ(claimed.summary.id, id);

    RunRecord broken = sample_record();
    broken.results[kRawSingle][3].threads = 0;  // a pass on no thread breaks a rule
    EXPECT_EQ(upload(broken, server.port()),
              Printed("", "  upload failed: server rejected the submission as invalid (HTTP 422)\n"));
    // The limit is 2 a minute per address, and the 422 counted: a client
    // cannot probe the validator without limit. Reading is never limited.
    EXPECT_EQ(upload(run, server.port()), Printed("", "  upload failed: server returned HTTP 429\n"));
    const auto limited = client.Post(kUploadPath, golden_document(), "application/json");
    expect_security_headers(limited, "429");
    EXPECT_EQ(limited->get_header_value("Retry-After"), "60");
    EXPECT_EQ(client.Get("/api/v1/results")->status, 200);
}

}  // namespace

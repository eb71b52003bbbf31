// Helpers of the results service tests: results made from the golden document,
// the backends under test on scratch databases, an in-process server.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#ifdef QM_HAVE_LIBPQ
#include <libpq-fe.h>
#endif

#include "server/ids.h"
#include "server/pages/pages.h"
#include "server/pg_store.h"
#include "server/service.h"
#include "server/store.h"
#include "server/validate.h"
#include "submit/server_harness.h"

inline int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

inline const std::string& golden_document() {
    static const std::string doc = [] {
        std::string d = read_whole_file(QUILLMOTH_TEST_DIR "/submit/golden_document.json");
        while (!d.empty() && (d.back() == '\n' || d.back() == '\r')) d.pop_back();
        return d;
    }();
    return doc;
}

inline std::string document_with_cpu(const std::string& cpu) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(golden_document());
    doc["cpu"] = cpu;
    return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A result as the store would hold it: the golden document with the given CPU
// name and every figure speed times better (latency divided by it), its
// summary columns extracted by the upload validator.
inline StoredResult make_result(const std::string& id, const std::string& cpu, double speed = 1.0,
                                int64_t uploaded_at = 1700000000) {
    nlohmann::json doc = nlohmann::json::parse(golden_document());
    doc["cpu"] = cpu;
    for (const char* suite : {"raw_tests", "real_tests"})
        for (nlohmann::json& test : doc["score_details"][suite])
            for (const char* key : {"multicore", "singlecore"}) {
                nlohmann::json& pass = test[key];
                pass["rate"] = pass["rate"].get<double>() * speed;
                pass["display_metric"] = test["id"] == "memory_latency" ? pass["display_metric"].get<double>() / speed
                                                                         : pass["rate"].get<double>();
            }
    StoredResult r;
    r.document = doc.dump();
    std::vector<std::string> errors;
    EXPECT_TRUE(validate_document(r.document, &r.summary, &errors)) << cpu;
    r.summary.id = id;
    r.summary.uploaded_at = uploaded_at;
    return r;
}

struct ClaimHash {
    unsigned char bytes[32];
};
inline ClaimHash claim_hash(const std::string& code) {
    ClaimHash h;
    hash_claim_code(code, h.bytes);
    return h;
}

struct TempDir {
    std::string path;
    TempDir() {
        char dir[] = "/tmp/qm_server_XXXXXX";
        if (mkdtemp(dir) != nullptr) path = dir;
    }
    ~TempDir() {
        if (!path.empty()) std::filesystem::remove_all(path);
    }
};

// Runs SQL on a SQLite file: the rows' first columns, concatenated.
// A failure comes back as "error: ..." rather than as an empty answer, and a
// database busy with the store's own background writes is waited for.
inline std::string sqlite_sql(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return "error: cannot open " + path;
    }
    sqlite3_busy_timeout(db, 10000);
    if (sqlite3_exec(
            db, sql, [](void* o, int, char** v, char**) { return *static_cast<std::string*>(o) += v[0] ? v[0] : "", 0; },
            &out, nullptr) != SQLITE_OK)
        out = std::string("error: ") + sqlite3_errmsg(db);
    sqlite3_close(db);
    return out;
}

// The PostgreSQL database named by QM_TEST_PG_URI (set by
// scripts/pg_cluster.sh); empty when none is, and PostgreSQL tests skip.
inline std::string pg_test_base_uri() {
#ifdef QM_HAVE_LIBPQ
    const char* uri = std::getenv("QM_TEST_PG_URI");
    return uri != nullptr ? uri : "";
#else
    return "";
#endif
}

inline std::string pg_test_uri_with(const std::string& base, const std::string& params) {
    return base + (base.find('?') == std::string::npos ? "?" : "&") + params;
}

#ifdef QM_HAVE_LIBPQ
// Runs SQL on a short-lived connection: the first column of the first row
// ("" when there is none), or "ERROR: ..." when it fails.
inline std::string pg_test_sql(const std::string& uri, const std::string& sql) {
    PGconn* conn = PQconnectdb(uri.c_str());
    PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    std::string out;
    if (PQstatus(conn) != CONNECTION_OK) {
        out = std::string("ERROR: ") + PQerrorMessage(conn);
    } else {
        PGresult* r = PQexec(conn, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK)
            out = std::string("ERROR: ") + PQresultErrorMessage(r);
        else if (PQntuples(r) > 0)
            out = PQgetvalue(r, 0, 0);
        PQclear(r);
    }
    PQfinish(conn);
    return out;
}
#endif

// The backends under test. Both are always named, since ctest learns the
// test names at build time, without a cluster.
inline std::vector<std::string> store_backends() { return {"sqlite", "postgres"}; }

// One opened store, in a directory or in a PostgreSQL schema of its own (first
// and only on the URI's search path), so tests running at the same time never
// see each other's rows: a schema costs milliseconds, a database seconds.
struct BackendStore {
    TempDir dir;
    std::string location;  // file path or URI
    std::string schema;
    std::unique_ptr<ResultStore> store;
    std::string error;
    bool unavailable = false;  // PostgreSQL without a cluster

    explicit BackendStore(const std::string& backend) {
        location = dir.path + "/results.db";
        if (backend == "postgres") {
            const std::string base = pg_test_base_uri();
            if ((unavailable = base.empty())) return;
#ifdef QM_HAVE_LIBPQ
            static std::atomic<unsigned> counter{0};
            schema = "qm_t" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
                     std::to_string(std::random_device()());
            location = pg_test_uri_with(base, "options=-c%20search_path%3D" + schema + "&application_name=" + schema);
            if (!(error = pg_test_sql(base, "CREATE SCHEMA " + schema)).empty()) return;
#endif
        }
        store = open_result_store(location, 4, &error);
    }
    ~BackendStore() {
        store.reset();
#ifdef QM_HAVE_LIBPQ
        if (schema.empty()) return;
        pg_test_sql(location, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" +
                                  schema + "' AND pid <> pg_backend_pid()");
        pg_test_sql(location, "DROP SCHEMA IF EXISTS " + schema + " CASCADE");
#endif
    }
    void add(const StoredResult& r, const std::string& claim_code) {
        ASSERT_EQ(store->insert(r, claim_hash(claim_code).bytes), StoreStatus::ok);
    }
};

// Waits (10 s at most) until the store's refresher has brought every
// processor's statistics up to date; false if it never did.
inline bool statistics_fresh(ResultStore* store) {
    std::vector<std::string> stale;
    for (int i = 0; i < 1000; ++i) {
        if (store->stale_processors(&stale) == StoreStatus::ok && stale.empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A test run once per backend, with that backend's store open.
class BackendTest : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (backend.unavailable) GTEST_SKIP() << "no PostgreSQL cluster: QM_TEST_PG_URI is not set";
        ASSERT_TRUE(backend.store) << backend.error;
    }
    ResultStore* store() { return backend.store.get(); }
    BackendStore backend{GetParam()};
};

// The same with two listed results stored: "first" (Alpha CPU, claim code
// "code-first") and "second" (Beta CPU, twice as fast, uploaded later).
class SeededTest : public BackendTest {
protected:
    void SetUp() override {
        BackendTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        backend.add(make_result("first", "Alpha CPU", 1.0, 1700000000), "code-first");
        backend.add(make_result("second", "Beta CPU", 2.0, 1700000100), "code-second");
    }
};

inline ServerOptions options_with(std::vector<std::string> args) {
    args.insert(args.begin(), "quillmoth-server");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    ServerOptions options;
    std::string error;
    EXPECT_TRUE(parse_server_options(static_cast<int>(argv.size()), argv.data(), &options, &error)) << error;
    return options;
}

// A full results service on an ephemeral loopback port, in this process.
class TestServer {
public:
    explicit TestServer(ResultStore* store, ServerOptions options = ServerOptions(), FILE* access_log = nullptr,
                        const HttpLimits& limits = HttpLimits()) {
        std::string error;
        http_ = http_bind({"127.0.0.1", 0}, &port_, &error);
        if (!http_) {
            port_ = -1;
            return;
        }
        ctx_.store = store;
        ctx_.access_log = access_log;
        limiter_ = std::make_unique<RateLimiter>(options.upload_limit);
        ctx_.limiter = options.upload_limit > 0 ? limiter_.get() : nullptr;
        if (!init_service_context(&ctx_, options, port_, &error)) {
            port_ = -1;
            return;
        }
        handlers_ = service_handlers(&ctx_);
        if (!http_start(http_.get(), &handlers_, &error, limits)) port_ = -1;
    }
    ~TestServer() { http_.reset(); }
    int port() const { return port_; }
    const std::string& public_url() const { return ctx_.public_url; }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(10, 0);
        c.set_url_encode(false);  // send paths exactly as the tests write them
        return c;
    }

private:
    ServiceContext ctx_;
    std::unique_ptr<RateLimiter> limiter_;
    HttpHandlers handlers_;
    HttpCorePtr http_;
    int port_ = -1;
};

// Raw loopback sockets, for what an HTTP client library would never send.
inline double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A blocking TCP connection from source to 127.0.0.1:port; -1 on failure.
inline int connect_from(const char* source, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    const timeval two_seconds = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &two_seconds, sizeof two_seconds);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &two_seconds, sizeof two_seconds);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool send_all(int fd, const std::string& data) {
    for (size_t at = 0; at < data.size();) {
        const ssize_t n = send(fd, data.data() + at, data.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// Everything until the server closes, or until seconds pass.
inline std::string read_until_closed(int fd, double seconds) {
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    char buffer[65536];
    while (since(start) < seconds) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

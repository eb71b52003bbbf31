// Helpers of the results service tests: the golden document and results made
// from it, temporary directories, the storage backends under test and an
// in-process server on an ephemeral loopback port.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/ids.h"
#include "server/pages.h"
#include "server/pg_store.h"
#include "server/pg_test_db.h"
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

// The golden document with the CPU name replaced (the name is written by
// the benchmark without escapes other than JSON's own).
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

// The backends under test. Both are always named, since ctest learns the
// test names at build time, without a cluster; PostgreSQL runs where
// QM_TEST_PG_URI names one (scripts/pg_cluster.sh) and is skipped elsewhere.
inline std::vector<std::string> store_backends() { return {"sqlite", "postgres"}; }

// One opened store, in a directory or a PostgreSQL schema of its own.
struct BackendStore {
    TempDir dir;
    std::string location;  // file path or URI
    std::unique_ptr<ResultStore> store;
    std::string error;
    bool unavailable = false;  // PostgreSQL without a cluster
#ifdef QM_HAVE_LIBPQ
    PgScratch scratch;
#endif

    explicit BackendStore(const std::string& backend) {
        if (backend == "postgres") {
            unavailable = pg_test_base_uri().empty();
#ifdef QM_HAVE_LIBPQ
            if (unavailable || !pg_scratch_create(pg_test_base_uri(), &scratch, &error)) return;
            location = scratch.uri;
            store = open_postgres_store(location, 4, &error);
#endif
        } else {
            location = dir.path + "/results.db";
            store = open_sqlite_store(location, &error);
        }
    }
    ~BackendStore() {
        store.reset();
#ifdef QM_HAVE_LIBPQ
        if (!scratch.schema.empty()) pg_scratch_drop(scratch);
#endif
    }
    void add(const StoredResult& r, const std::string& claim_code) {
        unsigned char hash[32];
        hash_claim_code(claim_code, hash);
        ASSERT_EQ(store->insert(r, hash), StoreStatus::ok);
    }
};

// A test run once per backend, with that backend's store open.
class BackendTest : public testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (backend.unavailable) GTEST_SKIP() << "no PostgreSQL cluster: QM_TEST_PG_URI is not set";
        ASSERT_TRUE(backend.store) << backend.error;
    }
    BackendStore backend{GetParam()};
};

// A full results service on an ephemeral loopback port, in this process.
class TestServer {
public:
    explicit TestServer(ResultStore* store, ServerOptions options = ServerOptions(), FILE* access_log = nullptr) {
        prepare_http_server(&http_);
        port_ = http_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) return;
        std::string error;
        ctx_.store = store;
        ctx_.access_log = access_log;
        limiter_ = std::make_unique<RateLimiter>(options.upload_limit);
        ctx_.limiter = options.upload_limit > 0 ? limiter_.get() : nullptr;
        if (!init_service_context(&ctx_, options, port_, &error)) {
            port_ = -1;
            return;
        }
        configure_http_server(&http_, &ctx_);
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        for (int i = 0; i < 2000 && !http_.is_running(); ++i) usleep(1000);
    }
    ~TestServer() {
        http_.stop();
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }
    const std::string& public_url() const { return ctx_.public_url; }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(10, 0);
        c.set_url_encode(false);  // send paths exactly as the tests write them
        return c;
    }

private:
    httplib::Server http_;
    ServiceContext ctx_;
    std::unique_ptr<RateLimiter> limiter_;
    std::thread thread_;
    int port_ = -1;
};

inline ServerOptions options_with(std::vector<std::string> args) {
    std::vector<const char*> argv = {"quillmoth-server"};
    for (const auto& a : args) argv.push_back(a.c_str());
    ServerOptions options;
    std::string error;
    EXPECT_TRUE(parse_server_options(static_cast<int>(argv.size()), argv.data(), &options, &error)) << error;
    return options;
}

// Helpers of the page tests: results made from the golden document, a
// scratch store, and the page routes served on an ephemeral loopback port.
#pragma once

#include <chrono>

#include "server/harness.h"
#include "server/pages.h"

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

// The SQLite store in a fresh temporary directory, removed afterwards.
struct TempStore : BackendStore {
    TempStore() : BackendStore("sqlite") { EXPECT_TRUE(store) << error; }
    void add(const StoredResult& r, const std::string& claim_code) {
        unsigned char hash[32];
        hash_claim_code(claim_code, hash);
        ASSERT_EQ(store->insert(r, hash), StoreStatus::ok);
    }
};

// The page routes alone on 127.0.0.1, an ephemeral port, for the lifetime of
// the object; client() talks to it and never follows redirects.
class PageServer {
public:
    PageServer(ResultStore* store, const std::string& base_path = "") {
        PageContext ctx;
        ctx.base_path = base_path;
        add_page_routes(&http_, store, ctx);
        port_ = http_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        // stop() is a no-op before the loop runs, so wait for it.
        while (!http_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~PageServer() {
        http_.stop();
        thread_.join();
    }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(10, 0);
        c.set_follow_location(false);
        c.set_url_encode(false);  // send paths exactly as the tests write them
        return c;
    }
    int port() const { return port_; }

private:
    httplib::Server http_;
    int port_ = -1;
    std::thread thread_;
};

inline int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

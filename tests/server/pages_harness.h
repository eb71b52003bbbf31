// Helpers of the page tests: results made from the golden document, an
// in-memory store, and the page routes served on an ephemeral loopback port.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <httplib.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/pages.h"

inline std::string golden_document() {
    std::ostringstream data;
    data << std::ifstream(QUILLMOTH_TEST_DIR "/submit/golden_document.json", std::ios::binary).rdbuf();
    return data.str();
}

inline void sha256_of(const std::string& text, unsigned char out[32]) {
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), out, &length, EVP_sha256(), nullptr);
}

// A result as the store would hold it: the golden document with the given CPU
// name, every rate multiplied by speed (latency divided by it), and the
// summary columns taken from that document.
inline StoredResult make_result(const std::string& id, const std::string& cpu, double speed = 1.0,
                                int64_t uploaded_at = 1700000000) {
    nlohmann::json doc = nlohmann::json::parse(golden_document());
    doc["cpu"] = cpu;
    StoredResult r;
    r.summary.id = id;
    r.summary.uploaded_at = uploaded_at;
    r.summary.cpu = cpu;
    r.summary.model = doc["model"];
    r.summary.operating_system = doc["operating_system"];
    r.summary.compiler = doc["compiler"];
    r.summary.cores = doc["cpu_cores"];
    r.summary.threads = doc["cpu_threads"];
    static const char* const suites[2] = {"raw_tests", "real_tests"};
    static const char* const passes[2] = {"multicore", "singlecore"};
    for (int s = 0; s < 2; ++s)
        for (int t = 0; t < kTestCount; ++t)
            for (int p = 0; p < 2; ++p) {
                nlohmann::json& pass = doc["score_details"][suites[s]][t][passes[p]];
                pass["rate"] = pass["rate"].get<double>() * speed;
                pass["display_metric"] = t == kMemoryLatencyIndex ? pass["display_metric"].get<double>() / speed
                                                                  : pass["rate"].get<double>();
                r.summary.figures[s][p][t] = pass["display_metric"];
            }
    r.document = doc.dump();
    return r;
}

// Newest first by upload time, as the real store lists.
class MemoryStore : public ResultStore {
public:
    void add(const StoredResult& r, const std::string& claim_code) {
        unsigned char hash[32];
        sha256_of(claim_code, hash);
        insert(r, hash);
    }
    StoreStatus insert(const StoredResult& result, const unsigned char claim_hash[32]) override {
        std::lock_guard<std::mutex> lock(mutex_);
        rows_.push_back({result, std::string(reinterpret_cast<const char*>(claim_hash), 32)});
        return StoreStatus::ok;
    }
    StoreStatus get(const std::string& id, StoredResult* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Row& row : rows_)
            if (row.result.summary.id == id) {
                *out = row.result;
                return StoreStatus::ok;
            }
        return StoreStatus::not_found;
    }
    StoreStatus list(const ListQuery& query, std::vector<ResultSummary>* out, int64_t* total) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<ResultSummary> all;
        for (const Row& row : rows_) {
            std::string cpu = row.result.summary.cpu, want = query.cpu_contains;
            std::transform(cpu.begin(), cpu.end(), cpu.begin(), ::tolower);
            std::transform(want.begin(), want.end(), want.begin(), ::tolower);
            if (row.result.summary.listed && cpu.find(want) != std::string::npos) all.push_back(row.result.summary);
        }
        std::stable_sort(all.begin(), all.end(),
                         [](const ResultSummary& a, const ResultSummary& b) { return a.uploaded_at > b.uploaded_at; });
        *total = static_cast<int64_t>(all.size());
        out->clear();
        for (size_t i = static_cast<size_t>(query.offset); i < all.size() && out->size() < size_t(query.limit); ++i)
            out->push_back(all[i]);
        return StoreStatus::ok;
    }
    StoreStatus find_by_claim(const unsigned char claim_hash[32], StoredResult* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Row& row : rows_)
            if (std::memcmp(row.claim_hash.data(), claim_hash, 32) == 0) {
                *out = row.result;
                return StoreStatus::ok;
            }
        return StoreStatus::not_found;
    }
    StoreStatus set_label_and_listing(const std::string& id, const std::string& label, int listed) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Row& row : rows_)
            if (row.result.summary.id == id) {
                row.result.summary.label = label;
                row.result.summary.listed = listed;
                return StoreStatus::ok;
            }
        return StoreStatus::not_found;
    }
    StoreStatus remove(const std::string& id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = std::find_if(rows_.begin(), rows_.end(), [&](const Row& r) { return r.result.summary.id == id; });
        if (it == rows_.end()) return StoreStatus::not_found;
        rows_.erase(it);
        return StoreStatus::ok;
    }

private:
    struct Row {
        StoredResult result;
        std::string claim_hash;
    };
    std::mutex mutex_;
    std::vector<Row> rows_;
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

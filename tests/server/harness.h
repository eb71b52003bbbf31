// Helpers of the results service tests: the golden document, temporary
// directories, the storage backends under test and an in-process server on
// an ephemeral loopback port.
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
#include "server/service.h"
#include "server/store.h"
#include "server/validate.h"

inline std::string read_file(const std::string& path) {
    std::ostringstream data;
    data << std::ifstream(path, std::ios::binary).rdbuf();
    return data.str();
}

inline const std::string& golden_document() {
    static const std::string doc = [] {
        std::string d = read_file(QUILLMOTH_TEST_DIR "/submit/golden_document.json");
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

// A unique tag, so that tests sharing one database (PostgreSQL) never see
// each other's results.
inline std::string unique_tag() {
    static std::atomic<int> counter{0};
    return "t" + std::to_string(getpid()) + "x" + std::to_string(counter++) + new_result_id().substr(0, 6);
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

// The backends under test: SQLite always, PostgreSQL when QM_TEST_PG_URI names a database.
inline std::vector<std::string> store_backends() {
    std::vector<std::string> names = {"sqlite"};
    const char* uri = getenv("QM_TEST_PG_URI");
    if (uri != nullptr && *uri != '\0') names.push_back("postgres");
    return names;
}

// One opened store with the directory its file lives in.
struct BackendStore {
    TempDir dir;
    std::string location;  // file path or URI
    std::unique_ptr<ResultStore> store;
    std::string error;

    explicit BackendStore(const std::string& backend) {
        if (backend == "postgres") {
            location = getenv("QM_TEST_PG_URI");
            store = open_postgres_store(location, 4, &error);
        } else {
            location = dir.path + "/results.db";
            store = open_sqlite_store(location, &error);
        }
    }
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

// Real quillmoth-server processes on PostgreSQL: two instances sharing one
// database under concurrent uploads, one of them killed mid-load, and the
// database restarted under a running server. Nothing that got a 201 may be
// lost, and while the database is gone uploads get 503, never 201 or 500.
// Skipped when no cluster is configured (QM_TEST_PG_URI).
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "server/pg_test_db.h"
#include "server/server_process.h"

#ifdef QM_HAVE_LIBPQ

namespace {

using Clock = std::chrono::steady_clock;

// Never printed by a server that keeps passwords out of its output. Trust
// authentication ignores it, so it can ride along in every URI here.
constexpr const char* kPassword = "Hunter2-never-logged";

// The golden upload, made unique by its duration so that each stored
// document says which upload it was.
std::string document(int n) {
    static const std::string key = "\"duration_ms\":";
    std::string doc = golden_document();
    size_t at = doc.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    size_t end = doc.find(',', at);
    doc.replace(at, end - at, std::to_string(1000000 + n));
    return doc;
}

// A server on db, serving once it names its port (the store is opened before).
bool start(std::unique_ptr<ServerProcess>* server, const std::string& db) {
    *server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--db", db, "--upload-limit", "0"});
    return (*server)->wait_for_output("listening on http://127.0.0.1:") && (*server)->port() > 0;
}

struct Reply {
    int status = 0;  // 0: no HTTP answer at all
    std::string body;
};

Reply request(int port, const char* method, const std::string& path, const std::string& body = "") {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(20);
    client.set_write_timeout(20);
    httplib::Result r = std::string(method) == "POST" ? client.Post(path.c_str(), body, "application/json")
                                                       : client.Get(path.c_str());
    if (!r) return {};
    return {r->status, r->body};
}

// Uploads document n; the new id on 201.
Reply upload(int port, int n, std::string* id) {
    Reply r = request(port, "POST", "/api/v1/submissions", document(n));
    if (r.status == 201) *id = nlohmann::json::parse(r.body, nullptr, false).value("id", "");
    return r;
}

int64_t listed_total(int port) {
    Reply r = request(port, "GET", "/api/v1/results?limit=1");
    if (r.status != 200) return -1;
    return nlohmann::json::parse(r.body, nullptr, false).value("total", int64_t{-1});
}

// Acknowledged uploads, shared by the client threads.
struct Ledger {
    std::mutex mu;
    std::map<int, std::string> acked;  // upload number -> id
    std::map<int, int> statuses;       // HTTP status (0: none) -> count
    void record(int n, const Reply& r, const std::string& id) {
        std::lock_guard<std::mutex> lock(mu);
        ++statuses[r.status];
        if (r.status == 201) acked[n] = id;
    }
    size_t acked_count() {
        std::lock_guard<std::mutex> lock(mu);
        return acked.size();
    }
};

std::string describe(const std::map<int, int>& statuses) {
    std::string s;
    for (auto [status, count] : statuses) s += std::to_string(status) + ":" + std::to_string(count) + " ";
    return s;
}

// Every acknowledged upload is there, byte for byte, on every given server.
void expect_all_present(const Ledger& ledger, const std::vector<int>& ports) {
    for (auto& [n, id] : ledger.acked) {
        for (int port : ports) {
            Reply r = request(port, "GET", "/api/v1/results/" + id);
            EXPECT_EQ(r.status, 200) << "upload " << n << " id " << id << " port " << port;
            EXPECT_EQ(r.body, document(n)) << "upload " << n;
        }
    }
}

using PgInstancesTest = PgScratchTest;

TEST_F(PgInstancesTest, TwoInstancesShareOneDatabaseAndLoseNothingWhenOneIsKilled) {
    const std::string db = pg_test_uri_with(scratch_.uri, std::string("password=") + kPassword);
    std::unique_ptr<ServerProcess> a, b, a2;
    ASSERT_TRUE(start(&a, db)) << a->err();
    ASSERT_TRUE(start(&b, db)) << b->err();
    const int port_a = a->port(), port_b = b->port();

    // 8 clients alternate between the two instances; A is killed once a
    // quarter of the uploads were acknowledged, so some of its requests are
    // in flight at that moment.
    constexpr int kClients = 8, kUploads = 240;
    Ledger ledger;
    std::atomic<int> next{0};
    std::atomic<bool> killed{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&] {
            for (int n; (n = next++) < kUploads;) {
                std::string id;
                Reply r = upload(n % 2 == 0 ? port_a : port_b, n, &id);
                ledger.record(n, r, id);
            }
        });
    }
    std::thread killer([&] {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (ledger.acked_count() < kUploads / 4 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        a->kill_now();
        killed = true;
    });
    for (std::thread& t : clients) t.join();
    killer.join();
    ASSERT_TRUE(killed);

    // B took every upload sent to it; A only those before the kill.
    EXPECT_GE(ledger.acked.size(), static_cast<size_t>(kUploads / 2)) << describe(ledger.statuses);
    EXPECT_LT(ledger.acked.size(), static_cast<size_t>(kUploads)) << "the kill came too late to matter";
    for (auto [status, count] : ledger.statuses) EXPECT_TRUE(status == 201 || status == 0) << describe(ledger.statuses);

    ASSERT_TRUE(start(&a2, db)) << a2->err();
    expect_all_present(ledger, {a2->port(), port_b});

    // Unacknowledged uploads may or may not have been committed; none was
    // stored twice, and both instances list the same rows.
    std::string rows = pg_test_query(scratch_.uri, "SELECT count(*) FROM qm_results");
    std::string distinct = pg_test_query(scratch_.uri, "SELECT count(DISTINCT document) FROM qm_results");
    EXPECT_EQ(rows, distinct);
    EXPECT_GE(std::atoll(rows.c_str()), static_cast<long long>(ledger.acked.size()));
    EXPECT_LE(std::atoll(rows.c_str()), kUploads);
    EXPECT_EQ(listed_total(a2->port()), std::atoll(rows.c_str()));
    EXPECT_EQ(listed_total(port_b), std::atoll(rows.c_str()));

    EXPECT_TRUE(b->stop());
    EXPECT_TRUE(a2->stop());
    for (ServerProcess* s : {a.get(), b.get(), a2.get()})
        EXPECT_EQ((s->out() + s->err()).find(kPassword), std::string::npos) << s->out() << s->err();
}

// Runs scripts/pg_cluster.sh; its standard output. A private cluster is made
// inside the shared one's directory, so that it is removed with it even when
// this test is killed before its TearDown.
std::string cluster_script(const std::string& args, int* status) {
    std::string command = "TMPDIR='" + std::string(std::getenv("QM_TEST_PG_DIR")) + "' " QUILLMOTH_TEST_DIR
                          "/../scripts/pg_cluster.sh " + args;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return "";
    }
    std::string out;
    char buf[256];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    *status = pclose(p);
    return out;
}

// A cluster of the test's own, since stopping the shared one would break
// the tests running beside this one.
class PgRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (pg_test_base_uri().empty()) GTEST_SKIP() << "no PostgreSQL cluster: QM_TEST_PG_URI is not set";
        const char* shared_dir = std::getenv("QM_TEST_PG_DIR");
        if (shared_dir == nullptr || *shared_dir == '\0')
            GTEST_SKIP() << "restarting PostgreSQL needs its server programs: run under scripts/pg_cluster.sh";
        int status = 0;
        std::string out = cluster_script("start", &status);
        ASSERT_EQ(status, 0) << out;
        // "export QM_TEST_PG_DIR='...'" and "export QM_TEST_PG_URI='...'"
        auto value = [&](const std::string& name) {
            size_t at = out.find(name + "='");
            if (at == std::string::npos) return std::string();
            at += name.size() + 2;
            return out.substr(at, out.find('\'', at) - at);
        };
        dir_ = value("QM_TEST_PG_DIR");
        uri_ = value("QM_TEST_PG_URI");
        ASSERT_FALSE(dir_.empty() || uri_.empty()) << out;
    }
    void TearDown() override {
        if (dir_.empty()) return;
        int status = 0;
        cluster_script("destroy '" + dir_ + "'", &status);
    }
    bool cluster(const char* action) {
        int status = 0;
        cluster_script(std::string(action) + " '" + dir_ + "'", &status);
        return status == 0;
    }
    std::string dir_, uri_;
};

TEST_F(PgRestartTest, UploadsDuringAnOutageGet503AndNothingAcknowledgedIsLost) {
    std::unique_ptr<ServerProcess> server;
    ASSERT_TRUE(start(&server, pg_test_uri_with(uri_, std::string("password=") + kPassword))) << server->err();
    const int port = server->port();
    Ledger ledger;
    int n = 0;
    auto upload_expecting = [&](int count, int expected) {
        for (int i = 0; i < count; ++i, ++n) {
            std::string id;
            Reply r = upload(port, n, &id);
            ledger.record(n, r, id);
            EXPECT_EQ(r.status, expected) << "upload " << n << ": " << r.body;
        }
    };

    // Parallel uploads open several pooled connections; the database then
    // restarts while the server is idle, and every one of them is dead. None
    // of that may show.
    std::vector<std::thread> openers;
    for (int c = 0; c < 8; ++c) openers.emplace_back([&, c] {
        std::string id;
        Reply r = upload(port, 100 + c, &id);
        ledger.record(100 + c, r, id);
        EXPECT_EQ(r.status, 201) << r.body;
    });
    for (std::thread& t : openers) t.join();
    ASSERT_TRUE(cluster("stop"));
    ASSERT_TRUE(cluster("resume"));
    upload_expecting(10, 201);

    ASSERT_TRUE(cluster("stop"));
    upload_expecting(5, 503);
    EXPECT_EQ(request(port, "GET", "/api/v1/results?limit=1").status, 503);
    ASSERT_TRUE(cluster("resume"));
    upload_expecting(10, 201);

    // A restart while 4 clients keep uploading: each upload is answered 201
    // or 503, and every 201 survives.
    std::atomic<bool> stop{false};
    std::atomic<int> next{1000};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&] {
            const auto deadline = Clock::now() + std::chrono::seconds(60);
            for (int k; !stop && Clock::now() < deadline && (k = next++) < 3000;) {
                std::string id;
                Reply r = upload(port, k, &id);
                ledger.record(k, r, id);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool restarted = cluster("stop") && cluster("resume");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = true;
    for (std::thread& t : clients) t.join();
    ASSERT_TRUE(restarted);
    for (auto [status, count] : ledger.statuses) EXPECT_TRUE(status == 201 || status == 503) << describe(ledger.statuses);
    EXPECT_GT(ledger.statuses[503], 5) << describe(ledger.statuses);

    upload_expecting(5, 201);
    expect_all_present(ledger, {port});
    EXPECT_TRUE(server->stop());
    EXPECT_EQ((server->out() + server->err()).find(kPassword), std::string::npos) << server->out() << server->err();
}

}  // namespace

#endif

// quillmoth-server as a program: refusals at start (one line, status 1,
// nothing left behind), a clean stop on SIGINT and SIGTERM, and durability.
// An instance is killed again and again under concurrent uploads (on
// PostgreSQL beside a second instance on the same database), and the
// database is restarted under a running server: nothing that got a 201 may
// be lost or stored twice, and while the database is gone uploads get 503,
// never 201 or 500.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <random>

#include "server/harness.h"

namespace {

using Clock = std::chrono::steady_clock;

// quillmoth-server as a child process. Its two output streams go to files, so
// a busy server never blocks on a pipe that nobody reads.
class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args) {
        const int out = open((dir_.path + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((dir_.path + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv = {const_cast<char*>(QM_SERVER_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (out >= 0 && err >= 0) pid_ = fork();
        if (pid_ == 0) {
            // Goes when the test goes, even a test killed mid-way.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(out, 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (out >= 0) close(out);
        if (err >= 0) close(err);
    }
    ~ServerProcess() { kill_now(); }

    // Waits until standard output holds text; false when the time is up or
    // the server exited first.
    bool wait_for_output(const std::string& text, int timeout_ms = 30000) {
        for (int waited = 0; waited < timeout_ms; waited += 10) {
            if (out().find(text) != std::string::npos) return true;
            if (!reap(false)) break;
            usleep(10000);
        }
        return out().find(text) != std::string::npos;
    }
    // Waits for the exit (killing after timeout_ms): the exit status, 256 for
    // a signal, 999 when it had to be killed.
    int finish(int timeout_ms = 20000) {
        for (int waited = 0; waited < timeout_ms && reap(false); waited += 10) usleep(10000);
        if (status_ < 0) {
            kill_now();
            status_ = 999;
        }
        return status_;
    }
    void signal(int sig) {
        if (status_ < 0 && pid_ > 0) kill(pid_, sig);
    }
    void kill_now() {
        signal(SIGKILL);
        reap(true);
    }
    // Stops as an operator would; true when it exited with status 0.
    bool stop() {
        signal(SIGTERM);
        return finish() == 0;
    }

    std::string out() const { return read_whole_file(dir_.path + "/out"); }
    std::string err() const { return read_whole_file(dir_.path + "/err"); }
    int port() const {
        static const std::string marker = "listening on http://127.0.0.1:";
        const std::string text = out();
        const size_t at = text.find(marker);
        return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + marker.size());
    }

private:
    // Collects the exit status; true while the process still runs.
    bool reap(bool block) {
        if (pid_ <= 0 || status_ >= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, block ? 0 : WNOHANG) != pid_) return true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 256;
        return false;
    }

    TempDir dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};


TEST(Program, RefusesToStartWithOneLineAndStatus1) {
    TempDir dir;
    httplib::Server busy;
    const int busy_port = busy.bind_to_any_port("127.0.0.1");
    ASSERT_GT(busy_port, 0);
    const std::string foreign = dir.path + "/foreign.db";
    std::ofstream(foreign) << "precious data that is not a database\n";
    const std::string fresh = dir.path + "/fresh.db";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--frobnicate"}, "quillmoth-server: unknown option '--frobnicate' (try --help)\n"},
        {{"--listen", "127.0.0.1:99999"}, "quillmoth-server: bad --listen address '127.0.0.1:99999': "},
        {{"--listen", "127.0.0.1:" + std::to_string(busy_port), "--db", fresh},
         "quillmoth-server: cannot listen on 127.0.0.1:" + std::to_string(busy_port) + ": Address already in use\n"},
        {{"--listen", "192.0.2.1:0", "--db", fresh}, "quillmoth-server: cannot listen on 192.0.2.1:0: "},
        {{"--listen", "127.0.0.1:0", "--db", foreign},
         "quillmoth-server: database " + foreign + " is not a quillmoth results database\n"},
        {{"--listen", "127.0.0.1:0", "--db", dir.path + "/no/such/dir/r.db"}, "quillmoth-server: cannot open database "},
    };
    for (const auto& c : cases) {
        ServerProcess child(c.args);
        EXPECT_EQ(child.finish(), 1) << c.message;
        const std::string err = child.err();
        EXPECT_EQ(err.rfind(c.message, 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(child.out(), "");
    }
    EXPECT_EQ(read_whole_file(foreign), "precious data that is not a database\n");
    EXPECT_FALSE(std::filesystem::exists(fresh)) << "a refused start left a database behind";

    ServerProcess help({"--help"});
    EXPECT_EQ(help.finish(), 0);
    EXPECT_EQ(help.out(), kServerUsage);
}

TEST(Program, StopsCleanlyOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        const std::string db = dir.path + "/r.db";
        ServerProcess child({"--listen", "127.0.0.1:0", "--listen", "[::1]:0", "--db", db});
        ASSERT_TRUE(child.wait_for_output("results at http://localhost:")) << child.out();
        ASSERT_GT(child.port(), 0);
        httplib::Client client("127.0.0.1", child.port());
        const auto r = client.Post("/api/v1/submissions", golden_document(), "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 201);
        EXPECT_EQ(nlohmann::json::parse(r->body)["result_url"].get<std::string>().rfind(
                      "http://localhost:" + std::to_string(child.port()) + "/results/", 0),
                  0u);
        child.signal(sig);
        EXPECT_EQ(child.finish(), 0) << child.err();
        EXPECT_NE(child.err().find("quillmoth-server: stopped\n"), std::string::npos) << child.err();
        // Closed cleanly: the WAL was checkpointed into the file and removed.
        EXPECT_FALSE(std::filesystem::exists(db + "-wal"));
        std::string error;
        auto store = open_sqlite_store(db, &error);
        ASSERT_TRUE(store) << error;
        std::vector<ResultSummary> rows;
        int64_t total = 0;
        EXPECT_EQ(store->list(ListQuery(), &rows, &total), StoreStatus::ok);
        EXPECT_EQ(total, 1);
    }
}

// Never printed by a server that keeps passwords out of its output. Trust
// authentication ignores it, so it can ride along in every URI here.
constexpr const char* kPassword = "Hunter2-never-logged";

// Upload attempt n carries its number in the CPU name, so that each stored
// result says which attempt it was.
std::string document(int n) { return document_with_cpu("load " + std::to_string(n)); }

// A server on db, serving once it names its port (the store is opened before).
std::unique_ptr<ServerProcess> start(const std::string& db) {
    auto server = std::make_unique<ServerProcess>(
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--db", db, "--upload-limit", "0"});
    EXPECT_TRUE(server->wait_for_output("listening on http://127.0.0.1:") && server->port() > 0) << server->err();
    return server;
}

struct Reply {
    int status = 0;  // 0: no HTTP answer at all
    std::string body;
};

Reply request(int port, const std::string& path, const std::string& upload = "") {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(20);
    client.set_write_timeout(20);
    httplib::Result r = upload.empty() ? client.Get(path) : client.Post(path, upload, "application/json");
    if (!r) return {};
    return {r->status, r->body};
}

// Acknowledged uploads, shared by the client threads.
struct Ledger {
    std::mutex mu;
    std::map<int, std::string> acked;  // upload attempt -> id
    std::map<int, int> statuses;       // HTTP status (0: none) -> count

    // Uploads attempt n; the HTTP status.
    int upload(int port, int n) {
        const Reply r = request(port, "/api/v1/submissions", document(n));
        std::lock_guard<std::mutex> lock(mu);
        ++statuses[r.status];
        if (r.status == 201) acked[n] = nlohmann::json::parse(r.body, nullptr, false).value("id", "");
        return r.status;
    }
    std::string describe() {
        std::lock_guard<std::mutex> lock(mu);
        std::string s;
        for (auto [status, count] : statuses) s += std::to_string(status) + ":" + std::to_string(count) + " ";
        return s;
    }
    // Every acknowledged upload is there, byte for byte, on every given
    // server, and every server lists each attempt at most once.
    void expect_all_present(const std::vector<int>& ports) {
        for (auto& [n, id] : acked)
            for (int port : ports) {
                const Reply r = request(port, "/api/v1/results/" + id);
                ASSERT_EQ(r.status, 200) << "upload " << n << " id " << id << " port " << port << ": " << r.body;
                ASSERT_EQ(r.body, document(n)) << "upload " << n;
            }
        for (int port : ports) {
            std::map<std::string, int> listed;  // CPU name -> rows
            for (int offset = 0;; offset += 100) {
                const Reply r = request(port, "/api/v1/results?limit=100&offset=" + std::to_string(offset));
                const auto page = nlohmann::json::parse(r.body, nullptr, false);
                ASSERT_EQ(r.status, 200) << r.body;
                if (page["results"].empty()) break;
                for (const auto& row : page["results"]) ++listed[row.value("cpu", "")];
            }
            EXPECT_GE(listed.size(), acked.size());
            for (auto& [cpu, rows] : listed) EXPECT_EQ(rows, 1) << cpu << " stored twice";
        }
    }
};

// Clients upload while instance 0 is killed (SIGKILL) and restarted on the
// same database every few hundred milliseconds; each client repeats an upload
// until it gets a 201. On PostgreSQL, instance 1 shares the database.
using KilledUnderLoad = BackendTest;

TEST_P(KilledUnderLoad, EveryAcknowledgedUploadSurvivesOnce) {
    backend.store.reset();  // the servers open the database themselves
    const bool postgres = GetParam() == "postgres";
    const std::string db = postgres ? backend.location + "&password=" + kPassword : backend.location;
    const int instances = postgres ? 2 : 1;
    std::vector<std::unique_ptr<ServerProcess>> servers;
    std::vector<int> ports;
    for (int i = 0; i < instances; ++i) {
        servers.push_back(start(db));
        ports.push_back(servers.back()->port());
        ASSERT_GT(ports.back(), 0);
    }
    // Fewer uploads under a sanitizer, where each costs about fifteen times as
    // much: still about ten kills.
    constexpr int kClients = 8, kUploads = QUILLMOTH_SANITIZED ? 150 : 1500;
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    Ledger ledger;
    std::mutex mu;  // guards ports[0]
    std::atomic<int> next{0}, running{kClients};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&] {
            for (int n; (n = next++) < kUploads;)
                for (int attempt = 0; Clock::now() < deadline; ++attempt) {
                    std::unique_lock<std::mutex> lock(mu);
                    const int port = ports[n % instances];
                    lock.unlock();
                    const int status = ledger.upload(port, n * 1000 + attempt);
                    if (status == 201) break;
                    EXPECT_TRUE(status == 0 || status == 503) << status;
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            --running;
        });
    // The killing is done here: a server dies with the thread that started it.
    int kills = 0;
    std::string killed_output;
    std::mt19937 rng(1234);
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + rng() % 300));
        if (running == 0) break;
        servers[0]->kill_now();
        ++kills;
        killed_output += servers[0]->out() + servers[0]->err();
        servers[0] = start(db);
        std::lock_guard<std::mutex> lock(mu);
        ports[0] = servers[0]->port();
    }
    for (std::thread& t : clients) t.join();

    EXPECT_EQ(ledger.acked.size(), static_cast<size_t>(kUploads)) << ledger.describe();
    EXPECT_GE(kills, 3);
    ledger.expect_all_present(ports);
    for (auto& server : servers) {
        EXPECT_TRUE(server->stop());
        killed_output += server->out() + server->err();
    }
    EXPECT_EQ(killed_output.find(kPassword), std::string::npos) << killed_output;
    if (!postgres) {
        sqlite3* file = nullptr;
        ASSERT_EQ(sqlite3_open(db.c_str(), &file), SQLITE_OK);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(file, "PRAGMA integrity_check", -1, &stmt, nullptr);
        ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "ok");
        sqlite3_finalize(stmt);
        sqlite3_close(file);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, KilledUnderLoad, testing::ValuesIn(store_backends()));

#ifdef QM_HAVE_LIBPQ

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
    const auto server = start(pg_test_uri_with(uri_, std::string("password=") + kPassword));
    const int port = server->port();
    ASSERT_GT(port, 0);
    Ledger ledger;
    int n = 0;
    auto upload_expecting = [&](int count, int expected) {
        for (int i = 0; i < count; ++i, ++n) EXPECT_EQ(ledger.upload(port, n), expected) << "upload " << n;
    };

    // Parallel uploads open several pooled connections; the database then
    // restarts while the server is idle, and every one of them is dead. None
    // of that may show.
    std::vector<std::thread> openers;
    for (int c = 0; c < 8; ++c) openers.emplace_back([&, c] { EXPECT_EQ(ledger.upload(port, 100 + c), 201); });
    for (std::thread& t : openers) t.join();
    ASSERT_TRUE(cluster("stop"));
    ASSERT_TRUE(cluster("resume"));
    upload_expecting(10, 201);

    ASSERT_TRUE(cluster("stop"));
    upload_expecting(5, 503);
    EXPECT_EQ(request(port, "/api/v1/results?limit=1").status, 503);
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
            for (int k; !stop && Clock::now() < deadline && (k = next++) < 3000;) ledger.upload(port, k);
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    bool restarted = cluster("stop") && cluster("resume");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = true;
    for (std::thread& t : clients) t.join();
    ASSERT_TRUE(restarted);
    for (auto [status, count] : ledger.statuses) EXPECT_TRUE(status == 201 || status == 503) << ledger.describe();
    EXPECT_GT(ledger.statuses[503], 5) << ledger.describe();

    upload_expecting(5, 201);
    ledger.expect_all_present({port});
    EXPECT_TRUE(server->stop());
    EXPECT_EQ((server->out() + server->err()).find(kPassword), std::string::npos) << server->out() << server->err();
}

#endif

}  // namespace

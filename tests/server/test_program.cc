// quillmoth-server as a program: refusals at start, a clean stop, and no
// acknowledged upload lost or stored twice when it or its database dies.
#include <fcntl.h>
#include <signal.h>
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
    explicit ServerProcess(const std::vector<std::string>& args, const char* program = QM_SERVER_BINARY) {
        const int out = open((dir_.path + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open((dir_.path + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv = {const_cast<char*>(program)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (out >= 0 && err >= 0 && (pid_ = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);  // goes when the test goes, even one killed mid-way
            dup2(out, 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out);
        close(err);
    }
    ~ServerProcess() { kill_now(); }

    // Waits for the exit (killing after 20 s): the exit status, 256 for a
    // signal, 999 when it had to be killed.
    int finish() {
        for (int waited = 0; waited < 20000 && running(); waited += 10) usleep(10000);
        if (status_ < 0) kill_now(), status_ = 999;
        return status_;
    }
    void signal(int sig) {
        if (status_ < 0 && pid_ > 0) kill(pid_, sig);
    }
    void kill_now() { signal(SIGKILL), running(true); }
    // Stops as an operator would; true when it exited with status 0.
    bool stop() { return signal(SIGTERM), finish() == 0; }

    std::string out() const { return read_whole_file(dir_.path + "/out"); }
    std::string err() const { return read_whole_file(dir_.path + "/err"); }
    // Waits until the server names its port (it has opened its store by
    // then); -1 when it exited first or 30 s passed.
    int port() {
        static const std::string marker = "listening on http://127.0.0.1:";
        for (int waited = 0; waited < 30000; waited += 10, usleep(10000)) {
            const std::string text = out();
            if (const size_t at = text.find(marker); at != text.npos) return std::atoi(&text[at + marker.size()]);
            if (!running()) return -1;
        }
        return -1;
    }

private:
    // Collects the exit status; true while the process still runs.
    bool running(bool block = false) {
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

// Every refusal, from the command line to a database that is not ours: one
// line on standard error, status 1, and nothing made or changed on disk.
TEST(Program, RefusesToStartWithOneLineAndStatus1) {
    TempDir dir;
    httplib::Server busy;
    const int busy_port = busy.bind_to_any_port("127.0.0.1");
    ASSERT_GT(busy_port, 0);
    const std::string notes = dir.path + "/notes.txt", other = dir.path + "/other.db", newer = dir.path + "/newer.db";
    std::ofstream(notes) << "my notes, not a database\n" << std::string(5000, 'n');
    sqlite_sql(other, "CREATE TABLE t(x); INSERT INTO t VALUES (1);");
    sqlite_sql(newer, "PRAGMA application_id = 1364021843; PRAGMA user_version = 7; CREATE TABLE results(x);");
    const std::string busy_at = "127.0.0.1:" + std::to_string(busy_port), fresh = dir.path + "/fresh.db";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate' (try --help)"},
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
        {{"--trusted-proxy", "10.0.0.0/33"}, "bad --trusted-proxy '10.0.0.0/33'"},
        {{"--trusted-proxy", "proxy.example"}, "bad --trusted-proxy"},
        {{"--db", ""}, "--db needs a non-empty path"},
        {{"--listen", busy_at}, "cannot listen on " + busy_at + ": Address already in use"},
        {{"--listen", "192.0.2.1:0"}, "cannot listen on 192.0.2.1:0: "},
        {{"--db", notes}, "database " + notes + " is not a quillmoth results database"},
        {{"--db", other}, "database " + other + " is not a quillmoth results database"},
        {{"--db", newer}, "schema version 7"},
        {{"--db", dir.path}, "is not a regular file"},
        {{"--db", dir.path + "/no/such/dir/r.db"}, "cannot open database "},
    };
    for (const auto& c : cases) {
        // Never the default port or database, even where a row is wrongly accepted.
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--db", fresh};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string before = read_whole_file(c.args.back());
        ServerProcess child(args);
        EXPECT_EQ(child.finish(), 1) << c.message;
        const std::string err = child.err();
        EXPECT_EQ(err.rfind("quillmoth-server: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(child.out(), "");
        EXPECT_EQ(read_whole_file(c.args.back()), before) << c.message;
    }
    EXPECT_FALSE(std::filesystem::exists(fresh)) << "a refused start left a database behind";

    ServerProcess help({"--help"});
    EXPECT_EQ(help.finish(), 0);
    EXPECT_EQ(help.out(), kServerUsage);
}

TEST(Program, LogsAndStopsCleanlyOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        const std::string db = dir.path + "/r.db";
        ServerProcess child({"--listen", "127.0.0.1:0", "--listen", "[::1]:0", "--db", db});
        const int port = child.port();
        httplib::Client client("127.0.0.1", port);
        client.set_url_encode(false);
        const auto r = client.Post("/api/v1/submissions", golden_document(), "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 201);
        EXPECT_NE(r->body.find("\"http://localhost:" + std::to_string(port) + "/results/"), r->body.npos) << r->body;
        const std::string claim = nlohmann::json::parse(r->body)["claim_url"];
        const std::string code = claim.substr(claim.rfind('/') + 1);
        client.Get("/claim/" + code);
        client.Post("/claim/" + code, "action=delete", "application/x-www-form-urlencoded");
        client.Get("/x%0aforged%20line");
        EXPECT_TRUE(std::filesystem::exists(db + "-wal"));  // readers never wait for the writer
        child.signal(sig);
        EXPECT_EQ(child.finish(), 0) << child.err();
        // The access log: a line per request, never a claim code, never a forged line.
        const std::string err = child.err();
        EXPECT_EQ(err.find(code), std::string::npos) << err;
        for (const char* logged : {"\"POST /api/v1/submissions\" 201", "\"GET /claim/[code]\"",
                                   "\"POST /claim/[code]\"", "/x\\x0aforged\\x20line", "quillmoth-server: stopped\n"})
            EXPECT_NE(err.find(logged), std::string::npos) << logged << " in " << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 5) << err;
        // Closed cleanly: the WAL was checkpointed into the file and removed.
        EXPECT_FALSE(std::filesystem::exists(db + "-wal"));
        EXPECT_EQ(sqlite_sql(db, "SELECT count(*) FROM results"), "1");
        // Claim codes are kept only as hashes.
        const std::string bytes = read_whole_file(db);
        ASSERT_NE(bytes.find("Sample CPU"), std::string::npos);  // the scan does see stored text
        EXPECT_EQ(bytes.find(code), std::string::npos);
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
    EXPECT_GT(server->port(), 0) << server->err();
    return server;
}

// One request; status 0 when no HTTP answer came at all.
std::pair<int, std::string> request(int port, const std::string& path, const std::string& upload = "") {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(20);
    client.set_write_timeout(20);
    httplib::Result r = upload.empty() ? client.Get(path) : client.Post(path, upload, "application/json");
    return r ? std::pair(r->status, r->body) : std::pair(0, std::string());
}

// Acknowledged uploads, shared by the client threads.
struct Ledger {
    std::mutex mu;
    std::map<int, std::string> acked;  // upload attempt -> id
    std::map<int, int> statuses;       // HTTP status (0: none) -> count

    // Uploads attempt n; the HTTP status.
    int upload(int port, int n) {
        const auto [status, body] = request(port, "/api/v1/submissions", document(n));
        std::lock_guard<std::mutex> lock(mu);
        ++statuses[status];
        if (status == 201) acked[n] = nlohmann::json::parse(body, nullptr, false).value("id", "");
        return status;
    }
    size_t acked_count() {
        std::lock_guard<std::mutex> lock(mu);
        return acked.size();
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
        for (int port : ports) {
            for (auto& [n, id] : acked)
                ASSERT_EQ(request(port, "/api/v1/results/" + id), std::pair(200, document(n))) << port << " " << n;
            std::map<std::string, int> listed;  // CPU name -> rows
            for (int offset = 0;; offset += 100) {
                const auto [status, body] = request(port, "/api/v1/results?limit=100&offset=" + std::to_string(offset));
                ASSERT_EQ(status, 200) << body;
                const auto page = nlohmann::json::parse(body, nullptr, false);
                if (page["results"].empty()) break;
                for (const auto& row : page["results"]) ++listed[row.value("cpu", "")];
            }
            EXPECT_GE(listed.size(), acked.size());
            for (auto& [cpu, rows] : listed) EXPECT_EQ(rows, 1) << cpu << " stored twice";
        }
    }
};

// SIGTERM while slow clients hold connections and uploads keep coming: the
// server stops within its grace period, and every upload it acknowledged
// is in the database after.
TEST(Program, StopsOnTimeUnderAttackKeepingEveryAcknowledgedUpload) {
    TempDir dir;
    const std::string db = dir.path + "/r.db";
    auto server = start(db);
    const int port = server->port();
    std::vector<int> attackers;
    for (int i = 0; i < 20; ++i) {
        const int fd = connect_from("127.0.0.2", port);
        send_all(fd, "GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ");
        attackers.push_back(fd);
    }
    // One upload stays in flight: its body never ends.
    const int slow_body = connect_from("127.0.0.3", port);
    send_all(slow_body, "POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\nContent-Length: 900\r\n\r\n{");
    Ledger ledger;
    std::atomic<int> next{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&] {
            const auto deadline = Clock::now() + std::chrono::seconds(15);
            for (int k; Clock::now() < deadline && (k = next++) < 2000;)
                if (ledger.upload(port, k) != 201) break;
        });
    while (next < 40) usleep(10000);
    const auto stopped = Clock::now();
    server->signal(SIGTERM);
    EXPECT_EQ(server->finish(), 0) << server->err();
    const double took = since(stopped);
    EXPECT_LT(took, kShutdownGraceSeconds + 1.0) << "the server waited on its slow clients";
    for (auto& t : clients) t.join();
    for (int fd : attackers) close(fd);
    close(slow_body);
    ASSERT_GT(ledger.acked.size(), 30u) << ledger.describe();
    server = start(db);
    ledger.expect_all_present({server->port()});
}

// The database file deleted, or replaced by another, under the running
// server: uploads get 503 and the log says why, rather than 201s for data
// that would be gone at the next start.
TEST(Program, UploadsAre503OnceTheDatabaseFileIsDeletedOrReplaced) {
    for (const char* what : {"deleted", "replaced"}) {
        TempDir dir;
        const std::string db = dir.path + "/r.db";
        auto server = start(db);
        const int port = server->port();
        ASSERT_EQ(request(port, "/api/v1/submissions", document(1)).first, 201);
        if (std::string(what) == "deleted") {
            std::filesystem::remove(db);
        } else {
            sqlite_sql(dir.path + "/other.db", "CREATE TABLE t(x)");
            std::filesystem::rename(dir.path + "/other.db", db);
        }
        EXPECT_EQ(request(port, "/api/v1/submissions", document(2)).first, 503) << what;
        EXPECT_EQ(request(port, "/api/v1/submissions", document(3)).first, 503) << what;
        EXPECT_TRUE(server->stop());
        const std::string err = server->err();
        EXPECT_NE(err.find("database " + db + " was " + what + " while the server ran"), std::string::npos) << err;
        EXPECT_EQ(count_of(err, " was " + std::string(what)), 1) << "said once: " << err;
    }
}

// An upload from source through the port, with extra head lines: the status.
int upload_from(const char* source, int port, const std::string& extra = "") {
    const int fd = connect_from(source, port);
    if (fd < 0) return -1;
    const std::string& doc = golden_document();
    send_all(fd, "POST /api/v1/submissions HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + extra +
                     "Content-Type: application/json\r\nContent-Length: " + std::to_string(doc.size()) + "\r\n\r\n" +
                     doc);
    const std::string reply = read_until_closed(fd, 5);
    close(fd);
    return reply.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(reply.c_str() + 9) : 0;
}

int free_loopback_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

// Debian's nginx in front, with the proxy settings the README gives: two
// clients behind it have limits of their own, and no client can choose its
// address by sending X-Forwarded-For itself.
TEST(Program, BehindNginxEachClientIsLimitedAloneAndCannotChooseItsAddress) {
    const char* nginx = "/usr/sbin/nginx";
    if (access(nginx, X_OK) != 0) GTEST_SKIP() << "no " << nginx << " (Debian package nginx-light)";
    TempDir dir;
    ServerProcess server({"--listen", "127.0.0.1:0", "--db", dir.path + "/r.db", "--upload-limit", "2",
                          "--trusted-proxy", "127.0.0.1"});
    const int server_port = server.port();
    ASSERT_GT(server_port, 0) << server.err();
    const int proxy_port = free_loopback_port();
    std::ofstream(dir.path + "/nginx.conf")
        << "daemon off; master_process off; worker_processes 1; pid " << dir.path << "/nginx.pid;\n"
        << "error_log " << dir.path << "/error.log warn;\nevents { worker_connections 64; }\n"
        << "http {\n  access_log off;\n"
        << "  client_body_temp_path " << dir.path << "/body; proxy_temp_path " << dir.path << "/proxy;\n"
        << "  fastcgi_temp_path " << dir.path << "/fcgi; uwsgi_temp_path " << dir.path << "/uwsgi; scgi_temp_path "
        << dir.path << "/scgi;\n"
        << "  server {\n    listen 127.0.0.1:" << proxy_port << ";\n    location / {\n"
        << "      proxy_pass http://127.0.0.1:" << server_port << ";\n"
        << "      include " << QUILLMOTH_TEST_DIR << "/../src/server/deploy/nginx-proxy.conf;\n    }\n  }\n}\n";
    ServerProcess proxy({"-p", dir.path, "-c", dir.path + "/nginx.conf", "-e", dir.path + "/error.log"}, nginx);
    bool up = false;
    for (int waited = 0; waited < 100 && !up; ++waited) {
        const int fd = connect_from("127.0.0.1", proxy_port);
        up = fd >= 0;
        if (fd >= 0) close(fd);
        else usleep(50000);
    }
    ASSERT_TRUE(up) << read_whole_file(dir.path + "/error.log");

    const struct {
        const char* source;
        std::string extra;
        int status;
    } uploads[] = {
        {"127.0.0.2", "", 201},
        {"127.0.0.2", "", 201},
        {"127.0.0.2", "", 429},
        {"127.0.0.3", "", 201},  // another client: a bucket of its own
        {"127.0.0.2", "X-Forwarded-For: 203.0.113.9\r\n", 429},  // a new address, claimed: still its own
        {"127.0.0.4", "X-Forwarded-For: 127.0.0.3\r\n", 201},    // nor can it take another's
        {"127.0.0.3", "", 201},
        {"127.0.0.3", "", 429},
    };
    for (const auto& u : uploads) EXPECT_EQ(upload_from(u.source, proxy_port, u.extra), u.status) << u.source << " " << u.extra;
    EXPECT_TRUE(server.stop());
    EXPECT_NE(server.err().find(" 127.0.0.4 \"POST /api/v1/submissions\" 201"), std::string::npos) << server.err();
}

// Clients upload while instance 0 is killed (SIGKILL) and restarted on the
// same database every few hundred milliseconds; each client repeats an upload
// until it gets a 201. On PostgreSQL, instance 1 shares the database.
using KilledUnderLoad = BackendTest;

TEST_P(KilledUnderLoad, EveryAcknowledgedUploadSurvivesOnce) {
    backend.store.reset();  // the servers open the database themselves
    const bool postgres = GetParam() == "postgres";
    const std::string db = postgres ? pg_test_uri_with(backend.location, std::string("password=") + kPassword)
                                    : backend.location;
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
    // A kill comes a few hundred milliseconds after a start and only once
    // something more was acknowledged, so that each lands among uploads and
    // the uploads progress however slow the machine; after kKills the rest
    // finish undisturbed. (Killed on a timer alone, a loaded machine under a
    // sanitizer restarted the server more often than it could take uploads.)
    constexpr int kKills = QUILLMOTH_SANITIZED ? 10 : 40;
    int kills = 0;
    size_t acked_before = 0;
    std::string output;
    std::mt19937 rng(1234);
    while (kills < kKills) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + rng() % 300));
        if (running == 0) break;
        const size_t acked = ledger.acked_count();
        if (acked == acked_before) continue;
        acked_before = acked;
        servers[0]->kill_now();
        ++kills;
        output += servers[0]->out() + servers[0]->err();
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
        output += server->out() + server->err();
    }
    EXPECT_EQ(output.find(kPassword), std::string::npos) << output;
    if (!postgres) {
        EXPECT_EQ(sqlite_sql(db, "PRAGMA integrity_check"), "ok");
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, KilledUnderLoad, testing::ValuesIn(store_backends()));

#ifdef QM_HAVE_LIBPQ

// A PostgreSQL cluster of the test's own (stopping the shared one would break
// the tests beside this one), made by scripts/pg_cluster.sh inside the shared
// one's directory, so that it goes with it even when this test is killed.
class PgRestartTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (pg_test_base_uri().empty()) GTEST_SKIP() << "no PostgreSQL cluster: QM_TEST_PG_URI is not set";
        if (std::getenv("QM_TEST_PG_DIR") == nullptr)
            GTEST_SKIP() << "restarting PostgreSQL needs its server programs: run under scripts/pg_cluster.sh";
        const std::string out = script("start");
        char dir[1024] = "", uri[1024] = "";
        std::sscanf(out.c_str(), "export QM_TEST_PG_DIR='%1023[^']'\nexport QM_TEST_PG_URI='%1023[^']'", dir, uri);
        dir_ = dir;
        uri_ = uri;
        ASSERT_FALSE(dir_.empty() || uri_.empty()) << out;
    }
    void TearDown() override {
        if (!dir_.empty()) script("destroy");
    }
    // Runs the script with the action on this test's cluster: its output, or
    // "failed" when it did not exit 0.
    std::string script(const std::string& action) {
        const std::string command = "TMPDIR='" + std::string(std::getenv("QM_TEST_PG_DIR")) + "' " QUILLMOTH_TEST_DIR
                                    "/../scripts/pg_cluster.sh " + action + (dir_.empty() ? "" : " '" + dir_ + "'");
        FILE* p = popen(command.c_str(), "r");
        std::string out;
        char buf[256];
        for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        return p != nullptr && pclose(p) == 0 ? out : "failed";
    }
    bool cluster(const char* action) { return script(action) != "failed"; }
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
    ASSERT_TRUE(cluster("stop") && cluster("resume"));
    upload_expecting(10, 201);

    ASSERT_TRUE(cluster("stop"));
    upload_expecting(5, 503);
    EXPECT_EQ(request(port, "/api/v1/results?limit=1").first, 503);
    ASSERT_TRUE(cluster("resume"));
    upload_expecting(10, 201);

    // A restart while 4 clients keep uploading: each upload is answered 201
    // or 503, and every 201 survives.
    std::atomic<bool> stop{false};
    std::atomic<int> next{1000};
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&] {
            const auto deadline = Clock::now() + std::chrono::seconds(60);
            for (int k; !stop && Clock::now() < deadline && (k = next++) < 3000;) ledger.upload(port, k);
        });
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

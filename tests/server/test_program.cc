// quillmoth-server as a program: refusals at start (one line, status 1,
// nothing left behind) and a clean stop on SIGINT and SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <sqlite3.h>

#include "server/server_process.h"

namespace {

// A loopback port that is in use for as long as the object lives.
struct BusyPort {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    BusyPort() {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) == 0 && listen(fd, 1) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
            port = ntohs(addr.sin_port);
    }
    ~BusyPort() { close(fd); }
};

TEST(Program, RefusesToStartWithOneLineAndStatus1) {
    TempDir dir;
    BusyPort busy;
    ASSERT_GT(busy.port, 0);
    const std::string foreign = dir.path + "/foreign.db";
    std::ofstream(foreign) << "precious data that is not a database\n";
    const std::string fresh = dir.path + "/fresh.db";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--frobnicate"}, "quillmoth-server: unknown option '--frobnicate' (try --help)\n"},
        {{"--listen", "127.0.0.1:99999"}, "quillmoth-server: bad --listen address '127.0.0.1:99999': "},
        {{"--listen", "127.0.0.1:" + std::to_string(busy.port), "--db", fresh},
         "quillmoth-server: cannot listen on 127.0.0.1:" + std::to_string(busy.port) + ": Address already in use\n"},
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
    EXPECT_EQ(read_file(foreign), "precious data that is not a database\n");
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

}  // namespace

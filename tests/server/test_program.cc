// quillmoth-server as a program: refusals at start (one line, status 1,
// nothing left behind) and a clean stop on SIGINT and SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <sqlite3.h>

#include "server/harness.h"

namespace {

// The server as a child process with its two output streams.
class Child {
public:
    explicit Child(const std::vector<std::string>& args) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv = {const_cast<char*>(QM_SERVER_BINARY)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    // Reads standard output until it holds `text` or the time is up.
    bool wait_for_output(const std::string& text, int timeout_ms = 10000) {
        for (int waited = 0; out_text_.find(text) == std::string::npos && waited < timeout_ms; waited += 10)
            if (!read_some(out_, &out_text_, 10)) break;
        return out_text_.find(text) != std::string::npos;
    }
    // Waits for the exit (killing after timeout_ms) and returns the exit status, or -1 for a signal.
    int finish(int timeout_ms = 20000) {
        for (int waited = 0; status_ < 0 && waited < timeout_ms; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 256;
            else usleep(10000);
        }
        if (status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            status_ = 999;
        }
        while (read_some(out_, &out_text_, 0)) {}
        while (read_some(err_, &err_text_, 0)) {}
        return status_;
    }
    void signal(int sig) { kill(pid_, sig); }
    const std::string& out() const { return out_text_; }
    const std::string& err() const { return err_text_; }
    int port() const {
        const size_t at = out_text_.find("listening on http://127.0.0.1:");
        return at == std::string::npos ? -1 : std::atoi(out_text_.c_str() + at + 30);
    }

private:
    static bool read_some(int fd, std::string* into, int timeout_ms) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) return timeout_ms > 0;  // nothing yet: keep waiting
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        into->append(buffer, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1, status_ = -1;
    std::string out_text_, err_text_;
};

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
        Child child(c.args);
        EXPECT_EQ(child.finish(), 1) << c.message;
        EXPECT_EQ(child.err().rfind(c.message, 0), 0u) << child.err();
        EXPECT_EQ(std::count(child.err().begin(), child.err().end(), '\n'), 1) << child.err();
        EXPECT_EQ(child.out(), "");
    }
    EXPECT_EQ(read_file(foreign), "precious data that is not a database\n");
    EXPECT_FALSE(std::filesystem::exists(fresh)) << "a refused start left a database behind";

    Child help({"--help"});
    EXPECT_EQ(help.finish(), 0);
    EXPECT_EQ(help.out(), kServerUsage);
}

TEST(Program, StopsCleanlyOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        const std::string db = dir.path + "/r.db";
        Child child({"--listen", "127.0.0.1:0", "--listen", "[::1]:0", "--db", db});
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

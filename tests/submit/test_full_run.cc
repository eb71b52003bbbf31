// End to end: the whole program, built against the loopback results URL, runs
// a full benchmark with "--upload --no-system-check" and uploads it to the
// test server.
//
// This needs every kernel in place and takes minutes: sanitizer runs exclude
// it by its name (FullRun).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "submit/server_harness.h"

namespace {

const char kLinks[] = R"({"result_url":"http://127.0.0.1/r/full-run","claim_url":"http://127.0.0.1/claim/FULLRUN1"})";

struct Pass {
    std::string suite, id, which;
    int64_t threads = 0;
    uint64_t iterations = 0, checksum = 0;
};

std::vector<Pass> parse_summary(const std::string& text) {
    std::vector<Pass> passes;
    std::istringstream lines(text);
    Pass p;
    while (lines >> p.suite >> p.id >> p.which >> p.threads >> p.iterations >> p.checksum) passes.push_back(p);
    return passes;
}

// Runs the program with its output in files under dir; returns its exit status.
int run_program(const std::string& dir) {
    const char* argv[] = {QM_LOOPBACK_BINARY, "--upload", "--no-system-check", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(UploadFullRun, ProgramUploadsTheWholeRun) {
    ResultsServer::Options options;
    options.port = QM_LOOPBACK_PORT;
    options.status = 0;  // 201 and the links for a valid document, 422 otherwise
    options.body = kLinks;
    options.lifetime = 1800;
    ResultsServer server(options);
    ASSERT_FALSE(server.port().empty()) << "cannot listen on 127.0.0.1:" << QM_LOOPBACK_PORT;

    char dir_template[] = "/tmp/qm_full_run_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const int status = run_program(dir);
    const std::string out = read_whole_file(dir + "/stdout");
    const std::string err = read_whole_file(dir + "/stderr");
    std::remove((dir + "/stdout").c_str());
    std::remove((dir + "/stderr").c_str());
    rmdir(dir.c_str());

    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(err, "");
    const std::string tail =
        "  Results uploaded (HTTP 201).\n"
        "  View your result: http://127.0.0.1/r/full-run\n"
        "  Claim code: FULLRUN1\n"
        "  Claim your result: http://127.0.0.1/claim/FULLRUN1\n";
    EXPECT_TRUE(out.size() >= tail.size() && out.compare(out.size() - tail.size(), tail.size(), tail) == 0) << out;

    ASSERT_EQ(server.finish(), 0);
    ASSERT_EQ(server.report(), "valid\n");
    const std::vector<Pass> passes = parse_summary(server.summary());
    ASSERT_EQ(passes.size(), 44u) << server.summary();

    const int64_t online = sysconf(_SC_NPROCESSORS_ONLN);
    std::map<std::string, uint64_t> compression_cost;
    for (const Pass& p : passes) {
        const std::string where = p.suite + " " + p.id + " " + p.which;
        EXPECT_EQ(p.threads, p.which == "multicore" ? online : 1) << where;
        ASSERT_GT(p.iterations, 0u) << where;
        const uint64_t threads = static_cast<uint64_t>(p.threads);
        if (p.id == "primes") {
            EXPECT_EQ(p.checksum, p.iterations * threads * 148933u) << where;
        } else if (p.id == "floating_point") {
            EXPECT_EQ(p.checksum, threads * 0x40269021F164683Eull) << where;
        } else if (p.id == "sorting" && p.iterations % 2 == 0) {
            EXPECT_EQ(p.checksum, 0u) << where;
        } else if (p.id == "compression") {
            const uint64_t per_pass = p.checksum / (p.iterations * threads);
            EXPECT_EQ(per_pass * p.iterations * threads, p.checksum) << where;
            compression_cost[where] = per_pass;
        }
    }
    // One compression pass costs the same in both suites and on any thread count.
    ASSERT_EQ(compression_cost.size(), 4u);
    for (const auto& [where, cost] : compression_cost) {
        EXPECT_GT(cost, 0u) << where;
        EXPECT_EQ(cost, compression_cost.begin()->second) << where;
    }
}

}  // namespace

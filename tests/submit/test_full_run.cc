// End to end: the whole program, built against the loopback results URL, runs
// a full benchmark with "--upload --no-system-check" and uploads it to the
// test server. This takes minutes: sanitizer runs exclude it by its name.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

#include "submit/server_harness.h"

namespace {

TEST(UploadFullRun, ProgramUploadsTheWholeRun) {
    ResultsServer server(
        {"HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n"
         R"({"result_url":"http://127.0.0.1/r/full-run","claim_url":"http://127.0.0.1/claim/FULLRUN1"})"},
        "answer", 0.0, QM_LOOPBACK_PORT);
    ASSERT_FALSE(server.port().empty()) << "cannot listen on 127.0.0.1:" << QM_LOOPBACK_PORT;

    const std::string err_path = testing::TempDir() + "qm_full_run_stderr";
    FILE* program =
        popen(("'" QM_LOOPBACK_BINARY "' --upload --no-system-check </dev/null 2>'" + err_path + "'").c_str(), "r");
    ASSERT_NE(program, nullptr);
    std::string out;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, program)) > 0;) out.append(chunk, n);
    const int status = pclose(program);
    const std::string err = read_whole_file(err_path);
    std::remove(err_path.c_str());

    EXPECT_EQ(status, 0) << err;
    EXPECT_EQ(err, "");
    const std::string tail =
        "  Results uploaded (HTTP 201).\n"
        "  View your result: http://127.0.0.1/r/full-run\n"
        "  Claim code: FULLRUN1\n"
        "  Claim your result: http://127.0.0.1/claim/FULLRUN1\n";
    EXPECT_TRUE(out.size() >= tail.size() && out.compare(out.size() - tail.size(), tail.size(), tail) == 0) << out;
    ASSERT_EQ(server.finish(), 0);
    ASSERT_EQ(server.file("report"), "valid\n");

    // One line per pass: suite id pass threads iterations checksum.
    std::istringstream lines(server.file("summary"));
    std::string suite, id, which;
    int64_t threads;
    uint64_t iterations, checksum;
    int passes = 0;
    std::map<std::string, uint64_t> compression_cost;
    while (lines >> suite >> id >> which >> threads >> iterations >> checksum) {
        ++passes;
        const std::string where = suite + " " + id + " " + which;
        EXPECT_EQ(threads, which == "multicore" ? sysconf(_SC_NPROCESSORS_ONLN) : 1) << where;
        ASSERT_GT(iterations, 0u) << where;
        const uint64_t runs = iterations * static_cast<uint64_t>(threads);
        if (id == "primes") {
            EXPECT_EQ(checksum, runs * 148933u) << where;
        } else if (id == "floating_point") {
            EXPECT_EQ(checksum, static_cast<uint64_t>(threads) * 0x40269021F164683Eull) << where;
        } else if (id == "sorting" && iterations % 2 == 0) {
            EXPECT_EQ(checksum, 0u) << where;
        } else if (id == "compression") {
            EXPECT_EQ(checksum % runs, 0u) << where;
            compression_cost[where] = checksum / runs;
        }
    }
    EXPECT_EQ(passes, 44) << server.file("summary");  // 22 test objects, two passes each
    // One compression pass costs the same in both suites and on any thread count.
    ASSERT_EQ(compression_cost.size(), 4u);
    for (const auto& [where, cost] : compression_cost) {
        EXPECT_GT(cost, 0u) << where;
        EXPECT_EQ(cost, compression_cost.begin()->second) << where;
    }
}

}  // namespace

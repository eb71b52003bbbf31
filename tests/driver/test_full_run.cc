// One whole run of the real program, as "-v --upload --no-system-check",
// uploading to the loopback test server: every line of the console report,
// the uploaded document, and the two against each other. It is the one test
// that runs the whole benchmark (about 80 s, since every pass calibrates to
// runs of at least 0.4 s), so it checks all that a whole run can show at once;
// sanitizer runs exclude it by its name.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <memory>

#include "driver/report.h"
#include "driver/run_binary.h"
#include "engine/dispatch.h"
#include "submit/server_harness.h"
#include "workloads/catalogue.h"

namespace {

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream lines(s);
    for (std::string line; std::getline(lines, line);) v.push_back(line);
    return v;
}

// One pass as the server read it from the uploaded document.
struct Pass {
    int64_t threads = 0;
    uint64_t iterations = 0, checksum = 0;
    double display = 0, seconds = 0;
};

// "suite id pass" -> its pass, from results_server.py's summary. The
// document's numbers are %.17g and the server writes them back in shortest
// round-trip form, so these are the program's doubles.
std::map<std::string, Pass> read_passes(const std::string& summary) {
    std::map<std::string, Pass> passes;
    std::istringstream lines(summary);
    std::string suite, id, which;
    for (Pass p; lines >> suite >> id >> which >> p.threads >> p.iterations >> p.checksum >> p.display >> p.seconds;)
        passes[suite + " " + id + " " + which] = p;
    return passes;
}

// "key value" lines; a value may be empty or hold blanks.
std::map<std::string, std::string> read_machine(const std::string& text) {
    std::map<std::string, std::string> machine;
    std::istringstream lines(text);
    for (std::string key, value; lines >> key && std::getline(lines, value);) machine[key] = value.substr(1);
    return machine;
}

// The results URL is fixed when the program is built, so the loopback build
// carries a placeholder port; a copy with the server's ephemeral port written
// over it lets any number of runs go on at once. Returns "" on failure.
std::string program_for_port(const std::string& port, const std::string& dir) {
    std::string bytes = read_whole_file(QM_LOOPBACK_BINARY);
    const std::string placeholder = QM_LOOPBACK_PORT;
    if (port.size() != placeholder.size()) return "";
    int found = 0;
    for (size_t at = bytes.find(placeholder); at != std::string::npos; at = bytes.find(placeholder, at)) {
        bytes.replace(at, port.size(), port);
        ++found;
    }
    if (found < 2) return "";  // the URL and the port constant
    const std::string path = dir + "/quillmoth_loopback";
    std::ofstream(path, std::ios::binary) << bytes;
    return chmod(path.c_str(), 0700) == 0 ? path : "";
}

TEST(FullRun, VerboseUploadRunReportsAndUploadsEveryPass) {
    const std::string reply =
        "HTTP/1.1 201 Created\r\nContent-Type: application/json\r\n\r\n"
        R"({"result_url":"http://127.0.0.1/r/full-run","claim_url":"http://127.0.0.1/claim/FULLRUN1"})";
    // Linux hands out five-digit ephemeral ports; the loop only guards
    // against an unusual port range.
    std::unique_ptr<ResultsServer> server;
    for (int tries = 0; tries < 20 && (server == nullptr || server->port().size() != 5); ++tries)
        server = std::make_unique<ResultsServer>(std::vector<std::string>{reply});
    ASSERT_EQ(server->port().size(), 5u) << "no five-digit loopback port: '" << server->port() << "'";

    char dir_template[] = "/tmp/qm_full_run_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string program = program_for_port(server->port(), dir);
    ASSERT_NE(program, "") << "cannot point " QM_LOOPBACK_BINARY " at port " << server->port();

    // With --upload the question is never asked, so the "n" is never read.
    const BinaryRun run = run_binary({"-v", "--upload", "--no-system-check"}, "n\n", 0, program.c_str());
    std::filesystem::remove_all(dir);
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    // Standard error may only say that the machine was busy (the runs of a
    // measurement varied) or that this process may use fewer processors
    // than are online, which then sets the multi-core thread count.
    long long usable = sysconf(_SC_NPROCESSORS_ONLN), logical = 0;
    for (const std::string& line : split_lines(run.err)) {
        long long u = 0;
        if (line.rfind("  warning: ", 0) == 0) continue;
        if (std::sscanf(line.c_str(), "  this process may use %lld of %lld logical processors;", &u, &logical) == 2) {
            usable = u;
            continue;
        }
        ADD_FAILURE() << "unexpected on standard error: " << line;
    }
    ASSERT_EQ(server->finish(), 0);
    ASSERT_EQ(server->file("report"), "valid\n") << server->file("request");

    // The uploaded document: 22 test objects of two passes each, with the
    // checksums that do not depend on the iteration count's value. Kept
    // beside the test (its working folder) for a build of another
    // architecture to replay (below).
    std::ofstream("full-run-summary", std::ios::binary) << server->file("summary");
    const std::map<std::string, Pass> passes = read_passes(server->file("summary"));
    ASSERT_EQ(passes.size(), 44u) << server->file("summary");
    const char* const suites[] = {"raw", "real"};
    std::map<std::string, uint64_t> compression_cost;
    for (const char* suite : suites) {
        for (const CatalogueEntry& test : g_catalogue) {
            for (const char* which : {"multicore", "singlecore"}) {
                const std::string where = std::string(suite) + " " + test.id + " " + which;
                ASSERT_EQ(passes.count(where), 1u) << where;
                const Pass& p = passes.at(where);
                EXPECT_EQ(p.threads, which[0] == 'm' ? usable : 1) << where;
                ASSERT_GT(p.iterations, 0u) << where;
                const uint64_t runs = p.iterations * static_cast<uint64_t>(p.threads);
                const std::string id = test.id;
                if (id == "primes") {
                    EXPECT_EQ(p.checksum, runs * 148933u) << where;
                } else if (id == "floating_point") {
                    EXPECT_EQ(p.checksum, static_cast<uint64_t>(p.threads) * 0x40269021F164683Eull) << where;
                } else if (id == "sorting" && p.iterations % 2 == 0) {
                    EXPECT_EQ(p.checksum, 0u) << where;
                } else if (id == "compression") {
                    EXPECT_EQ(p.checksum % runs, 0u) << where;
                    compression_cost[where] = p.checksum / runs;
                }
            }
        }
    }
    // One compression pass costs the same in both suites and on any thread count.
    ASSERT_EQ(compression_cost.size(), 4u);
    for (const auto& [where, cost] : compression_cost) {
        EXPECT_GT(cost, 0u) << where;
        EXPECT_EQ(cost, compression_cost.begin()->second) << where;
    }

    // The console report, line by line, printed again by the report's own
    // pieces from the document's values: what the user reads is what was
    // uploaded. The pieces' exact texts are checked in test_console.cc.
    std::map<std::string, std::string> m = read_machine(server->file("machine"));
    const auto number = [&](const char* key) { return std::strtoll(m[key].c_str(), nullptr, 10); };
    SystemInfo info = {};
    std::snprintf(info.cpu, sizeof info.cpu, "%s", m["cpu"].c_str());
    std::snprintf(info.model, sizeof info.model, "%s", m["model"].c_str());
    std::snprintf(info.operating_system, sizeof info.operating_system, "%s", m["operating_system"].c_str());
    std::snprintf(info.compiler, sizeof info.compiler, "%s", m["compiler"].c_str());
    std::snprintf(info.kernel, sizeof info.kernel, "%s", m["kernel"].c_str());
    info.cpu_cores = number("cpu_cores");
    info.cpu_threads = number("cpu_threads");
    info.memory_mb = number("memory_mb");
    info.l1_cache_kb = number("l1_cache_kb");
    info.l2_cache_kb = number("l2_cache_kb");
    info.l3_cache_kb = number("l3_cache_kb");
    Capture report;
    std::fputs("\n  preparing workloads... done\n", report.file);
    print_machine(report.file, &info);
    print_table_header(report.file);
    for (int s = 0; s < 2; ++s) {
        print_suite_heading(report.file, s == 1);
        for (int t = 0; t < kTestCount; ++t) {
            const std::string id = std::string(suites[s]) + " " + g_catalogue[t].id;
            const auto result = [&](const Pass& p) {
                return TestResult{p.display, p.checksum, p.seconds, p.iterations, static_cast<int32_t>(p.threads)};
            };
            const TestResult multi = result(passes.at(id + " multicore")), single = result(passes.at(id + " singlecore"));
            print_test_name(report.file, t);
            print_test_result(report.file, t, &multi, &single, true);
        }
    }
    print_closing_rule(report.file);
    print_total(report.file, static_cast<uint64_t>(number("duration_ms")));
    std::vector<std::string> want = split_lines(report.text());
    const std::vector<std::string> tail = {
        "  Results uploaded (HTTP 201).",
        "  View your result: http://127.0.0.1/r/full-run",
        "  Claim code: FULLRUN1",
        "  Claim your result: http://127.0.0.1/claim/FULLRUN1",
    };
    want.insert(want.end(), tail.begin(), tail.end());

    const std::vector<std::string> got = split_lines(run.out);
    EXPECT_EQ(run.out.back(), '\n');
    for (size_t i = 0; i < want.size() || i < got.size(); ++i) {
        EXPECT_EQ(i < got.size() ? got[i] : "<missing>", i < want.size() ? want[i] : "<extra>") << "line " << i + 1;
    }
    // What the program knows of itself and of this machine.
    EXPECT_EQ(m["architecture"], architecture_name());
    EXPECT_EQ(m["lumatile_version"], "0.4.2");
    EXPECT_GT(number("duration_ms"), 0);
}

// Every checksum of another build's whole run (QM_REPLAY_SUMMARY: the summary
// its whole-run test kept, say an arm64 build's run under qemu) is this
// build's for the same iterations and threads: the architectures' kernels
// agree bit for bit. All but the RAW vector test, which takes each processor's
// own reciprocal estimates; the arm64 parity test checks that one against its
// model. Skipped unless asked for.
TEST(FullRun, AnotherBuildsChecksumsAreThisBuilds) {
    const char* path = std::getenv("QM_REPLAY_SUMMARY");
    if (path == nullptr) GTEST_SKIP() << "QM_REPLAY_SUMMARY names no other run";
    const std::map<std::string, Pass> passes = read_passes(read_whole_file(path));
    ASSERT_EQ(passes.size(), 44u) << path;
    int64_t threads = 1;
    for (const auto& [where, p] : passes) threads = std::max(threads, p.threads);
    g_ncores = threads;
    prepare_workloads();
    int compared = 0;
    for (const auto& [where, p] : passes) {
        std::istringstream words(where);
        std::string suite, id;
        words >> suite >> id;
        if (suite == "raw" && id == "extended_instructions") continue;
        size_t test = 0;
        while (test < kTestCount && id != g_catalogue[test].id) ++test;
        ASSERT_LT(test, kTestCount) << where;
        g_c_backend = suite == "real" ? 1 : 0;
        EXPECT_EQ(dispatch(tests[test].run, p.iterations, static_cast<int32_t>(p.threads)), p.checksum) << where;
        ++compared;
    }
    release_workloads();
    EXPECT_EQ(compared, 42);
}

}  // namespace

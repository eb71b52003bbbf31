// The program's console: the command line and the upload question in-process,
// the report's exact texts, and how the real binary turns outcomes into
// output and exit statuses.
#include <gtest/gtest.h>

#include <regex>

#include "driver/options.h"
#include "driver/report.h"
#include "driver/run.h"
#include "run_binary.h"
#include "submit/server_harness.h"

namespace {

const std::string kUsage = std::string("usage: ") + QUILLMOTH_BINARY +
                           " [-v|--verbose] [--upload|--noupload] [--no-system-check]\n";
const char kCannotWrite[] = "quillmoth: cannot write to standard output\n";
const char kQmUsage[] = "usage: qm [-v|--verbose] [--upload|--noupload] [--no-system-check]\n";

TEST(Binary, StatusesAndUnwritableStandardOutput) {
    const struct {
        std::vector<std::string> args;
        const char* stdout_to;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--help"}, nullptr, 0, kUsage, ""},
        {{"--noupload", "--upload"}, nullptr, 1, "", "quillmoth: --upload conflicts with --noupload\n"},
        {{"--help"}, "/dev/full", kOutputFailedStatus, "", kCannotWrite},
        {{"--help"}, "", kOutputFailedStatus, "", kCannotWrite},  // closed
    };
    for (const auto& c : cases) {
        // Standard input holds a "y" that must never be read by a parse that ends the run.
        const BinaryRun r = run_binary(c.args, "y\n", 0, QUILLMOTH_BINARY, c.stdout_to);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

// A write that failed earlier in the run counts, though the last flush succeeds.
TEST(Binary, EndOfRunCheckOfTheOutput) {
    Capture fine, err;
    std::fputs("report\n", fine.file);
    EXPECT_EQ(finish_output(fine.file, err.file, 0), 0);
    FILE* unwritable = std::fopen("/dev/null", "r");  // every write fails
    std::fputs("report\n", unwritable);
    EXPECT_EQ(finish_output(unwritable, err.file, 0), kOutputFailedStatus);
    std::fclose(unwritable);
    EXPECT_EQ(err.text(), kCannotWrite);
}

TEST(Binary, OutOfMemoryUnderASmallAddressSpaceLimit) {
#if QUILLMOTH_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes reserve more address space than the limit allows";
#endif
    // The limit would bind the emulator (qemu reserves the guest's whole address space), not the program.
    if (!emulator_words().empty()) GTEST_SKIP() << "the address-space limit cannot reach a program under emulation";
    // Enough to start and build the shared sources, far too little for the
    // per-thread workspaces (37 MB each, plus a 16 MiB temporary).
    const BinaryRun r = run_binary({"--noupload", "--no-system-check"}, nullptr, 48ull << 20);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_match(r.err, std::regex("quillmoth: out of memory \\([1-9][0-9]* bytes\\)\n"))) << r.err;
    EXPECT_EQ(r.out, "\n  preparing workloads...");
}

TEST(CommandLine, OptionsStatusesAndMessages) {
    using enum UploadMode;
    const struct {
        std::vector<const char*> args;
        int status;
        std::string out, err;
        RunOptions options = {};
    } cases[] = {
        {{}, -1, "", ""},
        {{"-v", "--noupload", "--noupload", "--no-system-check", "--verbose"}, -1, "", "", {true, noupload, false}},
        {{"--upload", "--upload"}, -1, "", "", {false, upload, true}},
        {{"-h"}, 0, kQmUsage, ""},
        {{"-v", "--help"}, 0, kQmUsage, ""},
        {{"--help", "--bogus"}, 0, kQmUsage, ""},  // processing stops at the first help
        {{"--bogus", "--help"}, 1, "", "quillmoth: unknown option '--bogus'\n"},
        {{""}, 1, "", "quillmoth: unknown option ''\n"},
        {{"--verbose=1"}, 1, "", "quillmoth: unknown option '--verbose=1'\n"},
        {{"-vh"}, 1, "", "quillmoth: unknown option '-vh'\n"},
        // Control bytes in an option cannot drive the terminal.
        {{"\x1b[2J\r\n\x7fx"}, 1, "", "quillmoth: unknown option '?[2J???x'\n"},
        {{"--noupload", "--upload"}, 1, "", "quillmoth: --upload conflicts with --noupload\n"},
        {{"--upload", "--upload", "--noupload", "--help"}, 1, "", "quillmoth: --noupload conflicts with --upload\n"},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"qm"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Capture out, err;
        RunOptions o;
        const int status = parse_options(static_cast<int>(argv.size()), argv.data(), &o, out.file, err.file);
        const std::string where = c.args.empty() ? "no options" : c.args[0];
        EXPECT_EQ(status, c.status) << where;
        EXPECT_EQ(out.text(), c.out) << where;
        EXPECT_EQ(err.text(), c.err) << where;
        if (status < 0) {
            EXPECT_TRUE(o.verbose == c.options.verbose && o.upload_mode == c.options.upload_mode &&
                        o.system_check == c.options.system_check)
                << where;
        }
    }
}

TEST(UploadQuestion, FirstCharacterDecidesAndAtMostFifteenAreRead) {
    const struct {
        const char* input;
        bool yes;
        const char* left_unread = "";
    } cases[] = {
        {"y\n", true}, {"Yes please\n", true}, {"y", true},  // no line end before end of input
        {"n\n", false}, {"\n", false}, {" y\n", false}, {"", false},
        {"y23456789012345678\nsecond line\n", true, "678\nsecond line\n"},
    };
    for (const auto& c : cases) {
        FILE* in = tmpfile();
        std::fputs(c.input, in);
        std::rewind(in);
        Capture out;
        EXPECT_EQ(ask_upload(in, out.file, "http://results.example"), c.yes) << c.input;
        EXPECT_EQ(out.text(), "  Upload this result to http://results.example? [y/N] ");
        std::string rest;
        for (int ch; (ch = std::fgetc(in)) != EOF;) rest.push_back(static_cast<char>(ch));
        EXPECT_EQ(rest, c.left_unread) << c.input;
        std::fclose(in);
    }
}

template <typename F>
std::string printed(F print) {
    Capture out;
    print(out.file);
    return out.text();
}

const std::string kLongRule = "  " + std::string(74, '-') + "\n", kIndent(29, ' ');

TEST(Report, FixedPieces) {
    const SystemInfo info = {"Example CPU @ 3.00GHz", "", "Linux 6", "GCC 12.2.0", "", 8, 16, 32768, 80, 1280, 24576};
    EXPECT_EQ(printed([&](FILE* f) { print_machine(f, &info); }),
              "\n"
              "  quillmoth 0.4.2 - multi-core CPU benchmark\n"
              "  ------------------------------------------------------------------\n"
              "  CPU:       Example CPU @ 3.00GHz\n"
              "  model:     unknown\n"
              "  cores:     8 physical / 16 threads\n"
              "  memory:    32768 MB\n"
              "  caches:    L1 80 KB / L2 1280 KB / L3 24576 KB\n"
              "  OS:        Linux 6 (" + std::string(architecture_name()) + ")\n"
              "  kernel:    unknown\n"
              "  compiler:  GCC 12.2.0\n"
              "\n");
    EXPECT_EQ(printed(print_table_header), "  TEST                             RATE  UNIT            TIME\n" + kLongRule);
    EXPECT_EQ(printed([](FILE* f) { print_suite_heading(f, false); }), "  RAW score suite (architecture assembly)\n");
    EXPECT_EQ(printed([](FILE* f) { print_suite_heading(f, true); }),
              kLongRule + "  REAL score suite (optimised portable C)\n");
    EXPECT_EQ(printed(print_closing_rule), kLongRule);
    EXPECT_EQ(printed([](FILE* f) { print_total(f, 123456); }),
              "  TOTAL DURATION                                              123.46s\n\n");
}

TEST(Report, TestLines) {
    const struct {
        int test;
        TestResult multi, single;
        bool verbose;
        std::string want;
    } cases[] = {
        // The longest name and unit.
        {8, {12345.678, 1, 1.234, 10, 16}, {1000.04, 1, 0.9, 10, 1}, false,
         "  Sorting                       12345.7  Mkey-cmp/s     1.23s\n"},
        {4, {1.0, 1, 1.0, 1, 2}, {1.0, 1, 1.0, 1, 1}, false, "  Extended Instructions             1.0  Mops/s         1.00s\n"},
        // Latency shows ns per access from seconds and iterations, whatever the threads.
        {kMemoryLatencyIndex, {20.0, 1, 0.3, 3, 2}, {10.0, 1, 0.6, 3, 1}, true,
         "  Memory Latency                  100.0  ns/access      0.30s\n" + kIndent +
             "dependent-load pointer chase, 16 MiB\n" + kIndent + "1-core: 200.0 ns/access   2-core: 100.0 ns/access\n"},
        // One thread names "1-core" twice, each with its own figure.
        {0, {5.5, 1, 1.0, 1, 1}, {5.25, 1, 1.0, 1, 1}, true,
         "  Native Integer Math               5.5  Mops/s         1.00s\n" + kIndent +
             "common 32-bit multiply/add/rotate mix\n" + kIndent + "1-core: 5.2 Mops/s   1-core: 5.5 Mops/s\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(printed([&](FILE* f) {
                      print_test_name(f, c.test);
                      print_test_result(f, c.test, &c.multi, &c.single, c.verbose);
                  }),
                  c.want);
}

// Every pass of the record measured with three runs of the given lengths.
RunRecord record_with_runs(double a, double b, double c) {
    RunRecord r = {};
    const TimedRun runs[repeats] = {{1, a, 0}, {1, b, 0}, {1, c, 0}};
    for (int p = 0; p < kPassCount; ++p)
        for (int i = 0; i < kTestCount; ++i)
            summarize_runs(runs, 10, p == kRawMulti || p == kRealMulti ? 2 : 1, 1.0, &r.results[p][i], &r.notes[p][i]);
    return r;
}

TEST(RunWarnings, MeasuredRunsMoreThanTenPercentApart) {
    RunRecord r = record_with_runs(1.0, 1.1, 1.05);  // exactly 10% apart: no warning
    EXPECT_EQ(printed([&](FILE* f) { print_run_warnings(f, &r); }), "");
    const TimedRun noisy[repeats] = {{1, 1.0, 0}, {1, 1.0, 0}, {1, 1.2, 0}};
    const TimedRun noisier[repeats] = {{1, 0.5, 0}, {1, 0.7, 0}, {1, 0.6, 0}};
    summarize_runs(noisy, 10, 1, 1.0, &r.results[kRawSingle][3], &r.notes[kRawSingle][3]);
    EXPECT_EQ(printed([&](FILE* f) { print_run_warnings(f, &r); }),
              "  warning: 1 of 44 measurements varied by more than 10% between their runs (worst: Prime Numbers, "
              "RAW 1-core, 20.0%); rerun on an idle machine for steadier figures\n");
    summarize_runs(noisier, 10, 2, 1.0, &r.results[kRealMulti][10], &r.notes[kRealMulti][10]);
    EXPECT_EQ(printed([&](FILE* f) { print_run_warnings(f, &r); }),
              "  warning: 2 of 44 measurements varied by more than 10% between their runs (worst: Memory Bandwidth, "
              "REAL 2-core, 40.0%); rerun on an idle machine for steadier figures\n");
}

TEST(RunWarnings, ThreadsThatCouldNotStart) {
    const struct {
        int passes, not_started;
        const char* want;
    } cases[] = {
        {22, 0, ""},
        {22, 3,
         "  warning: 3 of 4 threads could not be started in 22 of 22 multi-core measurements; their figures did not "
         "run in parallel\n"},
        {1, 2,
         "  warning: 2 of 4 threads could not be started in 1 of 22 multi-core measurements; their figures did not "
         "run fully in parallel\n"},
    };
    for (const auto& c : cases) {
        const TimedRun runs[repeats] = {{1, 1.0, 0}, {1, 1.0, c.not_started}, {1, 1.0, c.not_started / 2}};
        RunRecord r = record_with_runs(1.0, 1.0, 1.0);
        for (int k = 0; k < c.passes; ++k) {
            const int pass = k < kTestCount ? kRawMulti : kRealMulti, i = k % kTestCount;
            summarize_runs(runs, 10, 4, 1.0, &r.results[pass][i], &r.notes[pass][i]);
        }
        EXPECT_EQ(printed([&](FILE* f) { print_run_warnings(f, &r); }), c.want);
    }
}

}  // namespace

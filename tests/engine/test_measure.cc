// The measurement policy: the calibration rule, the summary of the measured
// runs, and the loop that joins them around a dispatch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/measure.h"

namespace {

TEST(Calibration, NextCountFromTheLastRun) {
    const struct {
        uint64_t n;
        double seconds;
        uint64_t next;
        const char* why;
    } cases[] = {
        {10, 0.000999, 80, "below the floor: times 8, nothing added"},
        {10, 0.001, 81, "exactly the floor: factor 520 lowered to 8, plus 1"},
        {20, 0.06, 161, "0.52 / 0.06 = 8.67 lowered to 8"},
        {10, 0.2, 27, "0.2 s grows by 2.6"},
        {10, 0.39, 16, "0.39 s grows by the minimum 1.5"},
        {1, 0.39, 2, "the count grows even where 1.5 truncates back to it"},
        {1ull << 40, 0.26, (1ull << 41) + 1, "large counts stay exact"},
    };
    for (const auto& c : cases) EXPECT_EQ(next_calibration_count(c.n, c.seconds), c.next) << c.why;
}

TEST(Calibration, SummaryOfTheMeasuredRuns) {
    const TimedRun runs[repeats] = {{7, 0.4, 0}, {7, 0.3, 2}, {7, 0.5, 1}};
    TestResult r{};
    PassNotes notes{};
    summarize_runs(runs, 161, 4, 2000.0, &r, &notes);
    EXPECT_DOUBLE_EQ(r.seconds, 0.4);
    EXPECT_DOUBLE_EQ(r.rate, 161.0 * 4.0 * 2000.0 / 0.4 / 1000000.0);  // all threads together
    EXPECT_EQ(r.checksum, 7u);
    EXPECT_EQ(r.iterations, 161u);
    EXPECT_EQ(r.threads, 4);
    EXPECT_EQ(notes.fastest, 0.3);
    EXPECT_EQ(notes.slowest, 0.5);
    EXPECT_EQ(notes.threads_not_started, 2);
}

// A dispatch that "takes" the next scripted duration and returns the next
// scripted checksum; the clock reads 0 before a run and its duration after.
struct Script {
    std::vector<double> durations;
    std::vector<uint64_t> checksums;
    std::vector<uint64_t> counts;  // iteration counts seen, in order
    int readings = 0;
};
Script* g_script = nullptr;

double fake_clock() {
    Script& s = *g_script;
    if (s.readings++ % 2 == 0) return 0.0;
    return s.counts.size() <= s.durations.size() ? s.durations[s.counts.size() - 1] : 0.5;
}

uint64_t fake_dispatch(RunFn, uint64_t iterations, int32_t threads, int32_t* not_started) {
    Script& s = *g_script;
    s.counts.push_back(iterations);
    *not_started = threads - 1;
    return s.checksums.size() >= s.counts.size() ? s.checksums[s.counts.size() - 1] : 7;
}

TestResult measure(Script* script, PassNotes* notes = nullptr) {
    g_script = script;
    const TestInfo test = {"Scripted Test", "detail", nullptr, 20, 1.0, "Mops/s"};
    const EngineSeams seams = {fake_clock, fake_dispatch};
    TestResult r{};
    run_test_with(&r, &test, 3, notes, &seams);
    return r;
}

TEST(Calibration, TheRunEndingCalibrationIsTheFirstMeasuredRun) {
    Script s;
    s.durations = {0.06, 0.01, 0.4, 0.3, 0.5};
    s.checksums = {1, 2, 9, 9, 9};  // the calibration runs' checksums do not count
    PassNotes notes{};
    const TestResult r = measure(&s, &notes);
    EXPECT_EQ(s.counts, (std::vector<uint64_t>{20, 161, 1289, 1289, 1289}));
    EXPECT_EQ(r.iterations, 1289u);
    EXPECT_DOUBLE_EQ(r.seconds, 0.4);
    EXPECT_EQ(r.checksum, 9u);
    EXPECT_EQ(notes.slowest, 0.5);
    EXPECT_EQ(notes.threads_not_started, 2);
}

// Measures a pass whose measured runs give the three checksums; returning
// at all means the mismatch was not caught.
void measure_with_checksums(uint64_t c1, uint64_t c2, uint64_t c3) {
    Script s;
    s.durations = {0.5, 0.5, 0.5, 0.5};
    s.checksums = {c1, c2, c3};
    measure(&s);
    std::fprintf(stderr, "runs made: %zu\n", s.counts.size());
    std::exit(0);
}

TEST(CalibrationDeathTest, MeasuredRunsThatDisagreeEndTheProcess) {
    // The message names the differing run first, and no third run follows a bad second.
    EXPECT_EXIT(measure_with_checksums(11, 12, 11), ::testing::ExitedWithCode(2),
                "^quillmoth: Scripted Test is non-deterministic \\(checksum 12 != 11\\)\n$");
    EXPECT_EXIT(measure_with_checksums(18446744073709551615ull, 18446744073709551615ull, 0),
                ::testing::ExitedWithCode(2), "checksum 0 != 18446744073709551615\\)");
}

}  // namespace

// Calibration and measurement, driven by a scripted clock and dispatch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/run_test.h"

namespace {

// Each dispatch "takes" the next scripted duration (or per-iteration cost),
// and returns the next scripted checksum (or a constant).
struct Script {
    std::vector<double> durations;   // used in order; when empty, cost per iteration
    double seconds_per_iteration = 0.0;
    std::vector<uint64_t> checksums; // used in order; when empty, 7
    std::vector<uint64_t> counts;    // iteration counts seen, in order
    double last_duration = 0.0;
    int readings = 0;
    size_t next_duration = 0, next_checksum = 0;
};
Script* g_script = nullptr;

// Readings alternate: 0 before a run and the run's duration after it, so
// every scripted duration comes out of the subtraction exactly.
double fake_clock() {
    Script& s = *g_script;
    return (s.readings++ % 2 == 0) ? 0.0 : s.last_duration;
}

uint64_t fake_dispatch(RunFn, uint64_t iterations, int32_t) {
    Script& s = *g_script;
    s.counts.push_back(iterations);
    s.last_duration = s.next_duration < s.durations.size()
                          ? s.durations[s.next_duration++]
                          : s.seconds_per_iteration * static_cast<double>(iterations);
    return s.next_checksum < s.checksums.size() ? s.checksums[s.next_checksum++] : 7;
}

TestResult measure(Script* script, uint64_t start_iterations, int32_t threads = 1, double work = 1000000.0) {
    g_script = script;
    const TestInfo test = {"Scripted Test", "detail", nullptr, start_iterations, work, "Mops/s"};
    const EngineSeams seams = {fake_clock, fake_dispatch};
    TestResult r{};
    run_test_with(&r, &test, threads, &seams);
    return r;
}

}  // namespace

TEST(Calibration, LongFirstRunMeansExactlyThreeRunsAtTheStartCount) {
    Script s;
    s.durations = {0.4, 0.3, 0.5};
    const TestResult r = measure(&s, 20);
    EXPECT_EQ(s.counts, (std::vector<uint64_t>{20, 20, 20}));
    EXPECT_EQ(r.iterations, 20u);
    EXPECT_DOUBLE_EQ(r.seconds, (0.4 + 0.3 + 0.5) / 3.0);
    EXPECT_EQ(r.checksum, 7u);
    EXPECT_EQ(r.threads, 1);
}

TEST(Calibration, FloorAndGrowthFactorBoundaries) {
    Script shorter;
    shorter.durations = {0.000999, 0.5, 0.5, 0.5};
    measure(&shorter, 10);
    EXPECT_EQ(shorter.counts[1], 80u) << "below the floor: times 8, nothing added";

    Script floor;
    floor.durations = {0.001, 0.5, 0.5, 0.5};
    measure(&floor, 10);
    EXPECT_EQ(floor.counts[1], 81u) << "exactly the floor: factor 520 lowered to 8, plus 1";

    Script fifth;
    fifth.durations = {0.2, 0.5, 0.5, 0.5};
    measure(&fifth, 10);
    EXPECT_EQ(fifth.counts[1], 27u) << "0.2 s grows by 2.6";

    Script near;
    near.durations = {0.39, 0.5, 0.5, 0.5};
    measure(&near, 10);
    EXPECT_EQ(near.counts[1], 16u) << "0.39 s grows by the minimum 1.5";

    Script exact;
    exact.durations = {0.4, 0.1, 0.1};
    measure(&exact, 10);
    EXPECT_EQ(exact.counts.size(), 3u) << "exactly 0.4 s ends calibration";
}

TEST(Calibration, WorkedExampleTwentyIterationsAtThreeMilliseconds) {
    Script s;
    s.seconds_per_iteration = 0.003;
    const TestResult r = measure(&s, 20, 4, 2000.0);
    EXPECT_EQ(s.counts, (std::vector<uint64_t>{20, 161, 161, 161}));
    EXPECT_EQ(r.iterations, 161u);
    EXPECT_NEAR(r.seconds, 0.483, 1e-9);
    // rate = n x threads x work / seconds / 1e6
    EXPECT_DOUBLE_EQ(r.rate, 161.0 * 4.0 * 2000.0 / r.seconds / 1000000.0);
    EXPECT_EQ(r.threads, 4);
}

TEST(Calibration, CountAlwaysGrowsUntilARunIsLongEnough) {
    Script s;
    s.seconds_per_iteration = 1e-7;
    const TestResult r = measure(&s, 1);
    for (size_t i = 1; i + 2 < s.counts.size(); ++i) EXPECT_GT(s.counts[i], s.counts[i - 1]);
    EXPECT_GE(static_cast<double>(r.iterations) * 1e-7, 0.4);
}

TEST(Calibration, DiscardedCalibrationChecksumsDoNotCount) {
    Script s;
    s.durations = {0.01, 0.5, 0.5, 0.5};
    s.checksums = {1, 9, 9, 9};
    EXPECT_EQ(measure(&s, 5).checksum, 9u);
}

// Measures a pass whose measured runs give the three checksums; returning
// at all means the mismatch was not caught.
void measure_with_checksums(uint64_t c1, uint64_t c2, uint64_t c3) {
    Script s;
    s.durations = {0.5, 0.5, 0.5};
    s.checksums = {c1, c2, c3};
    measure(&s, 3);
    std::fprintf(stderr, "runs made: %zu\n", s.counts.size());
    std::exit(0);
}

TEST(CalibrationDeathTest, SecondRunDifferingStopsBeforeAThirdRun) {
    EXPECT_EXIT(measure_with_checksums(11, 12, 11), ::testing::ExitedWithCode(2),
                "^quillmoth: Scripted Test is non-deterministic \\(checksum 12 != 11\\)\n$");
}

TEST(CalibrationDeathTest, ThirdRunDifferingStopsWithStatusTwo) {
    EXPECT_EXIT(measure_with_checksums(18446744073709551615ull, 18446744073709551615ull, 0),
                ::testing::ExitedWithCode(2), "checksum 0 != 18446744073709551615\\)");
}

TEST(DisplayValue, LatencyShowsNanosecondsPerAccess) {
    TestResult r = {123.0, 0, 0.3, 3, 2};
    EXPECT_DOUBLE_EQ(display_value(kMemoryLatencyIndex, &r), 100.0);
    r.threads = 16;
    EXPECT_DOUBLE_EQ(display_value(kMemoryLatencyIndex, &r), 100.0);
    EXPECT_DOUBLE_EQ(display_value(0, &r), 123.0);
}

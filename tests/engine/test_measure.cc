// Calibration and measurement, driven by a scripted clock and dispatch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/measure.h"

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
    // First duration, and the count of the second run that follows from 10.
    const struct {
        double first;
        uint64_t next;
        const char* why;
    } cases[] = {
        {0.000999, 80, "below the floor: times 8, nothing added"},
        {0.001, 81, "exactly the floor: factor 520 lowered to 8, plus 1"},
        {0.2, 27, "0.2 s grows by 2.6"},
        {0.39, 16, "0.39 s grows by the minimum 1.5"},
        {0.4, 10, "exactly 0.4 s ends calibration"},
    };
    for (const auto& c : cases) {
        Script s;
        s.durations = {c.first, 0.5, 0.5, 0.5};
        measure(&s, 10);
        EXPECT_EQ(s.counts[1], c.next) << c.why;
    }
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

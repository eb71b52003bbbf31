// Calibration and measurement of one pass.
#include "engine/measure.h"

#include <cstdio>
#include <cstdlib>

#include "engine/clock.h"
#include "engine/dispatch.h"

namespace {

constexpr double kCalibrationFloor = 0.001;
constexpr double kCalibrationTarget = 0.52;
constexpr double kMinGrowth = 1.5;
constexpr double kMaxGrowth = 8.0;

// Only the dispatch sits between the two clock readings.
inline TimedRun timed_run(const EngineSeams* seams, RunFn fn, uint64_t n, int32_t threads) {
    TimedRun run = {0, 0.0, 0};
    const double start = seams->clock();
    run.checksum = seams->dispatch(fn, n, threads, &run.threads_not_started);
    const double end = seams->clock();
    run.seconds = end - start;
    return run;
}

[[noreturn]] void fail_non_deterministic(const TestInfo* test, uint64_t got, uint64_t reference) {
    std::fprintf(stderr, "quillmoth: %s is non-deterministic (checksum %llu != %llu)\n", test->name,
                 static_cast<unsigned long long>(got), static_cast<unsigned long long>(reference));
    std::exit(2);
}

}  // namespace

uint64_t next_calibration_count(uint64_t n, double seconds) {
    // Too short to time: grow blindly rather than trust the ratio.
    if (seconds < kCalibrationFloor) return n * 8;
    double f = kCalibrationTarget / seconds;
    if (f < kMinGrowth) f = kMinGrowth;
    if (f > kMaxGrowth) f = kMaxGrowth;
    return static_cast<uint64_t>(static_cast<double>(n) * f) + 1;
}

void summarize_runs(const TimedRun runs[repeats], uint64_t n, int32_t threads, double work_per_iteration,
                    TestResult* result, PassNotes* notes) {
    double total = 0.0;
    PassNotes seen = {runs[0].seconds, runs[0].seconds, 0};
    for (int i = 0; i < repeats; ++i) {
        total += runs[i].seconds;
        if (runs[i].seconds < seen.fastest) seen.fastest = runs[i].seconds;
        if (runs[i].seconds > seen.slowest) seen.slowest = runs[i].seconds;
        if (runs[i].threads_not_started > seen.threads_not_started)
            seen.threads_not_started = runs[i].threads_not_started;
    }
    const double seconds = total / static_cast<double>(repeats);
    result->rate = static_cast<double>(n) * static_cast<double>(threads) * work_per_iteration / seconds / 1000000.0;
    result->checksum = runs[0].checksum;
    result->seconds = seconds;
    result->iterations = n;
    result->threads = threads;
    if (notes != nullptr) *notes = seen;
}

void run_test_with(TestResult* result, const TestInfo* test, int32_t threads, PassNotes* notes,
                   const EngineSeams* seams) {
    uint64_t n = test->start_iterations;
    TimedRun runs[repeats];
    // The run that ends calibration is the first measured run.
    for (;;) {
        runs[0] = timed_run(seams, test->run, n, threads);
        if (runs[0].seconds >= minimum_test_seconds) break;
        n = next_calibration_count(n, runs[0].seconds);
    }
    for (int i = 1; i < repeats; ++i) {
        runs[i] = timed_run(seams, test->run, n, threads);
        if (runs[i].checksum != runs[0].checksum) fail_non_deterministic(test, runs[i].checksum, runs[0].checksum);
    }
    summarize_runs(runs, n, threads, test->work_per_iteration, result, notes);
}

void run_test(TestResult* result, const TestInfo* test, int32_t threads, PassNotes* notes) {
    static const EngineSeams real = {now_seconds, dispatch};
    run_test_with(result, test, threads, notes, &real);
}

double display_value(int test_index, const TestResult* result) {
    if (test_index == kMemoryLatencyIndex)
        return result->seconds / (static_cast<double>(result->iterations) * 1000000.0) * 1000000000.0;
    return result->rate;
}

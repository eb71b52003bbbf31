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

struct Run {
    uint64_t checksum;
    double seconds;
};

// Only the dispatch sits between the two clock readings.
inline Run timed_run(const EngineSeams* seams, RunFn fn, uint64_t n, int32_t threads) {
    const double start = seams->clock();
    const uint64_t checksum = seams->dispatch(fn, n, threads);
    const double end = seams->clock();
    return {checksum, end - start};
}

[[noreturn]] void fail_non_deterministic(const TestInfo* test, uint64_t got, uint64_t reference) {
    std::fprintf(stderr, "quillmoth: %s is non-deterministic (checksum %llu != %llu)\n", test->name,
                 static_cast<unsigned long long>(got), static_cast<unsigned long long>(reference));
    std::exit(2);
}

}  // namespace

void run_test_with(TestResult* result, const TestInfo* test, int32_t threads, const EngineSeams* seams) {
    uint64_t n = test->start_iterations;
    Run first;
    for (;;) {
        first = timed_run(seams, test->run, n, threads);
        if (first.seconds >= minimum_test_seconds) break;
        if (first.seconds < kCalibrationFloor) {
            n = n * 8;
        } else {
            double f = kCalibrationTarget / first.seconds;
            if (f < kMinGrowth) f = kMinGrowth;
            if (f > kMaxGrowth) f = kMaxGrowth;
            n = static_cast<uint64_t>(static_cast<double>(n) * f) + 1;
        }
    }
    const Run second = timed_run(seams, test->run, n, threads);
    if (second.checksum != first.checksum) fail_non_deterministic(test, second.checksum, first.checksum);
    const Run third = timed_run(seams, test->run, n, threads);
    if (third.checksum != first.checksum) fail_non_deterministic(test, third.checksum, first.checksum);

    const double seconds = (first.seconds + second.seconds + third.seconds) / 3.0;
    result->rate = static_cast<double>(n) * static_cast<double>(threads) * test->work_per_iteration / seconds / 1000000.0;
    result->checksum = first.checksum;
    result->seconds = seconds;
    result->iterations = n;
    result->threads = threads;
}

void run_test(TestResult* result, const TestInfo* test, int32_t threads) {
    static const EngineSeams real = {now_seconds, dispatch};
    run_test_with(result, test, threads, &real);
}

double display_value(int test_index, const TestResult* result) {
    if (test_index == kMemoryLatencyIndex)
        return result->seconds / (static_cast<double>(result->iterations) * 1000000.0) * 1000000000.0;
    return result->rate;
}

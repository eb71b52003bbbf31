// Calibration and measurement of one pass: the measurement policy as small
// named functions, and run_test, which applies it to a real dispatch.
#pragma once

#include <cstdint>

#include "workloads/workloads.h"

struct TestResult {
    double rate;        // millions of work units per second, all threads
    uint64_t checksum;  // of the first measured run
    double seconds;     // mean of the three measured runs
    uint64_t iterations;
    int32_t threads;
};

// What the measured runs of a pass showed beyond their mean: how far apart
// they lay, and whether every thread could be started.
struct PassNotes {
    double fastest, slowest;      // shortest and longest measured run
    int32_t threads_not_started;  // most threads that any measured run could not start
};

constexpr double minimum_test_seconds = 0.4;
constexpr int repeats = 3;

// One run as measured: only the dispatch lies between the clock readings.
struct TimedRun {
    uint64_t checksum;
    double seconds;
    int32_t threads_not_started;
};

// The calibration rule: the next iteration count after a run of n iterations
// that lasted `seconds` (shorter than minimum_test_seconds).
uint64_t next_calibration_count(uint64_t n, double seconds);

// The outcome of the `repeats` measured runs at count n: the result (rate
// over all threads, mean seconds, the first run's checksum) and its notes.
void summarize_runs(const TimedRun runs[repeats], uint64_t n, int32_t threads, double work_per_iteration,
                    TestResult* result, PassNotes* notes);

// Calibrates, measures three runs and fills *result and, when given, *notes;
// ends the process with status 2 when the measured runs disagree.
void run_test(TestResult* result, const TestInfo* test, int32_t threads, PassNotes* notes = nullptr);

// Seams for tests: the clock and the dispatch are given.
struct EngineSeams {
    double (*clock)();
    uint64_t (*dispatch)(RunFn fn, uint64_t iterations, int32_t threads, int32_t* not_started);
};
void run_test_with(TestResult* result, const TestInfo* test, int32_t threads, PassNotes* notes,
                   const EngineSeams* seams);

// The figure shown for a pass: ns per access for memory latency, else the rate.
double display_value(int test_index, const TestResult* result);

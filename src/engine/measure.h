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

constexpr double minimum_test_seconds = 0.4;
constexpr int repeats = 3;

// Calibrates, measures three runs and fills *result; ends the process with
// status 2 when the measured runs disagree.
void run_test(TestResult* result, const TestInfo* test, int32_t threads);

// Seams for tests: the clock and the dispatch are given.
struct EngineSeams {
    double (*clock)();
    uint64_t (*dispatch)(RunFn fn, uint64_t iterations, int32_t threads);
};
void run_test_with(TestResult* result, const TestInfo* test, int32_t threads, const EngineSeams* seams);

// The figure shown for a pass: ns per access for memory latency, else the rate.
double display_value(int test_index, const TestResult* result);

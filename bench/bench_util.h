// Shared set-up for the kernel benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include "workloads/workloads.h"

// Builds the workload data once, for one thread, and returns workspace 0.
inline Workspace* bench_workspace() {
    if (g_ws == nullptr) {
        g_ncores = 1;
        prepare_workloads();
    }
    return &g_ws[0];
}

// Runs test `index` in the given suite, one iteration per benchmark
// iteration, and reports the rate in the test's unit (millions per second).
inline void bench_run(benchmark::State& state, int index, int backend) {
    Workspace* ws = bench_workspace();
    g_c_backend = static_cast<unsigned char>(backend);
    const TestInfo& t = tests[index];
    for (auto _ : state) benchmark::DoNotOptimize(t.run(1, ws));
    state.counters[t.unit] =
        benchmark::Counter(static_cast<double>(state.iterations()) * t.work_per_iteration / 1e6,
                           benchmark::Counter::kIsRate);
}

#define QM_BENCH_TEST(name, index)                                                   \
    static void name##_raw(benchmark::State& s) { bench_run(s, index, 0); }          \
    static void name##_real(benchmark::State& s) { bench_run(s, index, 1); }         \
    BENCHMARK(name##_raw)->Unit(benchmark::kMillisecond)->UseRealTime();             \
    BENCHMARK(name##_real)->Unit(benchmark::kMillisecond)->UseRealTime()

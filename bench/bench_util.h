// Shared set-up for the kernel benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

#include "workloads/kernels.h"

// Yardstick for the triad: the same loop written by hand with the
// architecture's vector intrinsics (bench/<architecture>/).
void triad_reference_pass(float* c, const float* a, const float* b);

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
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) benchmark::DoNotOptimize(t.run(1, ws));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The figure the console would show for one thread, in the test's unit
    // (memory latency: ns per access).
    const double units = static_cast<double>(state.iterations()) * t.work_per_iteration;
    state.counters[t.unit] = index == kMemoryLatencyIndex ? seconds * 1e9 / units : units / 1e6 / seconds;
}

#define QM_BENCH_TEST(name, index)                                                   \
    static void name##_raw(benchmark::State& s) { bench_run(s, index, 0); }          \
    static void name##_real(benchmark::State& s) { bench_run(s, index, 1); }         \
    BENCHMARK(name##_raw)->Unit(benchmark::kMillisecond)->UseRealTime();             \
    BENCHMARK(name##_real)->Unit(benchmark::kMillisecond)->UseRealTime()

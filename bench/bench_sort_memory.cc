#include <chrono>

#include "bench_util.h"

QM_BENCH_TEST(sorting, 8);
QM_BENCH_TEST(memory_latency, 9);
QM_BENCH_TEST(memory_bandwidth, 10);

namespace {

constexpr double kTriadBytes = 12582912.0;

// Run before each threaded benchmark, on the main thread: one workspace per
// benchmark thread, so the threads stream over separate arrays.
void two_workspaces(const benchmark::State&) {
    if (g_ws != nullptr && g_ncores >= 2) return;
    if (g_ws != nullptr) release_workloads();
    g_ncores = 2;
    prepare_workloads();
}

// MB/s of one thread over its own loop; Google Benchmark sums the threads.
template <typename Pass>
void bench_triad(benchmark::State& state, Pass pass) {
    Workspace* ws = &g_ws[state.thread_index()];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        pass(ws);
        benchmark::ClobberMemory();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.counters["MB/s"] = static_cast<double>(state.iterations()) * kTriadBytes / 1e6 / seconds;
}

void triad_reference(benchmark::State& state) {
    bench_triad(state,
                [](Workspace* ws) { triad_reference_pass(ws->stream_c, ws->stream_a, ws->stream_b); });
}

void triad_run_stream(benchmark::State& state) {
    bench_triad(state, [](Workspace* ws) { benchmark::DoNotOptimize(run_stream(1, ws)); });
}

// RAW and REAL chase in strict alternation on the same ring, each call timed
// on its own: whatever else the machine does hits both suites alike, so the
// ratio is steadier than two separate benchmarks.
void chase_raw_vs_real(benchmark::State& state) {
    Workspace* ws = bench_workspace();
    double seconds[2] = {0.0, 0.0};
    int first = 0;
    for (auto _ : state) {
        // Swap which suite goes first each time, so neither gains from order.
        for (int backend : {first, 1 - first}) {
            g_c_backend = static_cast<unsigned char>(backend);
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(run_chase(1, ws));
            const auto end = std::chrono::steady_clock::now();
            seconds[backend] += std::chrono::duration<double>(end - start).count();
        }
        first = 1 - first;
    }
    g_c_backend = 0;
    const double accesses =
        static_cast<double>(state.iterations()) * tests[kMemoryLatencyIndex].work_per_iteration;
    state.counters["raw_ns/access"] = seconds[0] * 1e9 / accesses;
    state.counters["real_ns/access"] = seconds[1] * 1e9 / accesses;
    state.counters["real/raw"] = seconds[1] / seconds[0];
}

}  // namespace

BENCHMARK(chase_raw_vs_real)->Unit(benchmark::kMillisecond)->UseRealTime();

// Side by side, on one and on both threads (each thread its own workspace).
BENCHMARK(triad_reference)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Setup(two_workspaces)
    ->Threads(1)
    ->Threads(2);
BENCHMARK(triad_run_stream)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Setup(two_workspaces)
    ->Threads(1)
    ->Threads(2);

#include <thread>

#include "bench_util.h"

QM_BENCH_TEST(native_integer, 0);
QM_BENCH_TEST(wide_integer, 1);
QM_BENCH_TEST(floating_point, 2);

// Workload preparation for Arg() workspaces, as the driver does it once per
// run (the shared sources plus one workspace per thread).
static void prepare_workloads_for_threads(benchmark::State& state) {
    bench_workspace();
    release_workloads();
    g_ncores = state.range(0);
    for (auto _ : state) {
        prepare_workloads();
        state.PauseTiming();
        release_workloads();
        state.ResumeTiming();
    }
    g_ncores = 1;
    prepare_workloads();  // leave the data the other benchmarks use in place
}
BENCHMARK(prepare_workloads_for_threads)
    ->Arg(1)
    ->Arg(static_cast<int64_t>(std::thread::hardware_concurrency()))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

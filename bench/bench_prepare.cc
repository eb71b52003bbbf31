// Workload preparation for Arg(0) workspaces, as the driver does it once per
// run: the shared sources, then every workspace, filled one after the other
// (Arg(1) = 1 thread) or each on its own thread (Arg(1) = workspaces). The
// ratio of the two is what more preparation threads buy on this machine.
#include "bench_util.h"

static void prepare_workspaces(benchmark::State& state) {
    bench_workspace();
    release_workloads();
    g_ncores = state.range(0);
    for (auto _ : state) {
        prepare_workloads_with(state.range(1), pthread_create);
        state.PauseTiming();
        release_workloads();
        state.ResumeTiming();
    }
    g_ncores = 1;
    prepare_workloads();  // leave the data the other benchmarks use in place
}
BENCHMARK(prepare_workspaces)
    ->ArgNames({"workspaces", "threads"})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({2, 2})
    ->Args({8, 1})
    ->Args({8, 8})
    ->Args({64, 1})
    ->Args({64, 64})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

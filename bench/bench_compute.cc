#include "bench_util.h"

QM_BENCH_TEST(native_integer, 0);
QM_BENCH_TEST(wide_integer, 1);
QM_BENCH_TEST(floating_point, 2);

// Preparation for one thread; the driver's cost is roughly the shared part
// plus one workspace per thread.
static void prepare_workloads_one_thread(benchmark::State& state) {
    bench_workspace();
    release_workloads();
    for (auto _ : state) {
        prepare_workloads();
        state.PauseTiming();
        release_workloads();
        state.ResumeTiming();
    }
    prepare_workloads();  // leave the data the other benchmarks use in place
}
BENCHMARK(prepare_workloads_one_thread)->Unit(benchmark::kMillisecond);

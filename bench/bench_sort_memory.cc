#include <emmintrin.h>

#include "bench_util.h"

QM_BENCH_TEST(sorting, 8);
QM_BENCH_TEST(memory_latency, 9);
QM_BENCH_TEST(memory_bandwidth, 10);

namespace {

constexpr double kTriadBytes = 12582912.0;

// Yardstick for run_stream: a plain triad written by hand with SSE
// intrinsics, four lines' worth of loads in flight per step, ordinary stores.
void triad_sse_reference(float* c, const float* a, const float* b) {
    const __m128 s = _mm_set1_ps(1.0009765625f);
    for (size_t i = 0; i < kStreamElems; i += 16) {
        const __m128 b0 = _mm_load_ps(b + i), b1 = _mm_load_ps(b + i + 4);
        const __m128 b2 = _mm_load_ps(b + i + 8), b3 = _mm_load_ps(b + i + 12);
        const __m128 a0 = _mm_load_ps(a + i), a1 = _mm_load_ps(a + i + 4);
        const __m128 a2 = _mm_load_ps(a + i + 8), a3 = _mm_load_ps(a + i + 12);
        _mm_store_ps(c + i, _mm_add_ps(_mm_mul_ps(b0, s), a0));
        _mm_store_ps(c + i + 4, _mm_add_ps(_mm_mul_ps(b1, s), a1));
        _mm_store_ps(c + i + 8, _mm_add_ps(_mm_mul_ps(b2, s), a2));
        _mm_store_ps(c + i + 12, _mm_add_ps(_mm_mul_ps(b3, s), a3));
    }
}

// Run before each threaded benchmark, on the main thread: one workspace per
// benchmark thread, so the threads stream over separate arrays.
void two_workspaces(const benchmark::State&) {
    if (g_ws != nullptr && g_ncores >= 2) return;
    if (g_ws != nullptr) release_workloads();
    g_ncores = 2;
    prepare_workloads();
}

void set_triad_rate(benchmark::State& state) {
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * kTriadBytes / 1e6,
                                                benchmark::Counter::kIsRate);
}

void triad_reference(benchmark::State& state) {
    Workspace* ws = &g_ws[state.thread_index()];
    for (auto _ : state) {
        triad_sse_reference(ws->stream_c, ws->stream_a, ws->stream_b);
        benchmark::ClobberMemory();
    }
    set_triad_rate(state);
}

void triad_run_stream(benchmark::State& state) {
    Workspace* ws = &g_ws[state.thread_index()];
    for (auto _ : state) benchmark::DoNotOptimize(run_stream(1, ws));
    set_triad_rate(state);
}

}  // namespace

// Side by side, on one and on both threads (each thread its own workspace).
BENCHMARK(triad_reference)->Unit(benchmark::kMillisecond)->UseRealTime()->Setup(two_workspaces)->Threads(1)->Threads(2);
BENCHMARK(triad_run_stream)->Unit(benchmark::kMillisecond)->UseRealTime()->Setup(two_workspaces)->Threads(1)->Threads(2);

// Memory latency (pointer chase through the workspace ring) and memory
// bandwidth (single-precision triad over the workspace arrays).
#include <cstring>
#include <memory>

#include "workloads/kernels.h"

namespace {

constexpr uint64_t kLoadsPerIteration = 1000000;
constexpr uint64_t kTriadStride = 104729;

inline uint64_t next_node(uint64_t p) { return *reinterpret_cast<const uint64_t*>(p); }

// One triad pass, c = b * s + a, a cache line (16 floats) per outer step. The
// arrays are 64-byte aligned and distinct, and the length is a whole number of
// lines, so the compiler turns each line into four packed multiply/add pairs
// with aligned loads and stores and no remainder or alias checks.
void triad_pass(float* __restrict c, const float* __restrict a, const float* __restrict b) {
    constexpr size_t kLine = 64 / sizeof(float);
    static_assert(kStreamElems % kLine == 0, "the triad works on whole cache lines");
    float* cc = std::assume_aligned<64>(c);
    const float* aa = std::assume_aligned<64>(a);
    const float* bb = std::assume_aligned<64>(b);
    for (size_t line = 0; line < kStreamElems; line += kLine)
        for (size_t j = 0; j < kLine; ++j) cc[line + j] = bb[line + j] * kTriadScalar + aa[line + j];
}

}  // namespace

uint64_t qm_c_chase(const uint64_t* start, uint64_t loads) {
    const uint64_t base = reinterpret_cast<uint64_t>(start);
    uint64_t p = base;
    for (uint64_t round = loads / 8; round != 0; --round) {
        p = next_node(p);
        p = next_node(p);
        p = next_node(p);
        p = next_node(p);
        p = next_node(p);
        p = next_node(p);
        p = next_node(p);
        p = next_node(p);
    }
    for (uint64_t rest = loads % 8; rest != 0; --rest) p = next_node(p);
    return p - base;
}

uint64_t run_chase(uint64_t iterations, Workspace* ws) {
    const uint64_t loads = iterations * kLoadsPerIteration;
    if (g_c_backend != 1) return qm_chase(ws->chase_ring, loads);
    return qm_c_chase(ws->chase_ring, loads);
}

uint64_t run_stream(uint64_t iterations, Workspace* ws) {
    for (uint64_t pass = 0; pass < iterations; ++pass) triad_pass(ws->stream_c, ws->stream_a, ws->stream_b);
    const uint64_t k = (iterations * kTriadStride) % kStreamElems;
    uint32_t bits;
    std::memcpy(&bits, &ws->stream_c[k], sizeof bits);
    return bits;
}

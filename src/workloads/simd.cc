// Extended Instructions: a long dependent chain of 128-bit operations (RAW) or
// an eight-word rotate/add recurrence (REAL), 100,000 rounds per iteration.
#include <bit>
#include <cstring>

#include "workloads/kernels.h"

namespace {

constexpr uint64_t kRoundsPerIteration = 100000;

}  // namespace

void qm_c_simd_round(uint32_t a[8]) {
    a[0] = std::rotl(a[0] + 3u * a[1], 5);
    a[1] = std::rotl(a[1] + 4u * a[2], 6);
    a[2] = std::rotl(a[2] + 5u * a[3], 7);
    a[3] = std::rotl(a[3] + 6u * a[4], 8);
    a[4] = std::rotl(a[4] + 7u * a[5], 9);
    a[5] = std::rotl(a[5] + 8u * a[6], 10);
    a[6] = std::rotl(a[6] + 9u * a[7], 11);
    a[7] = std::rotl(a[7] + 10u * a[0], 12);
}

uint32_t qm_c_simd(uint64_t rounds, const uint8_t* block) {
    if (rounds == 0) return 0;
    uint32_t a[8];
    for (int k = 0; k < 8; ++k) {
        const uint8_t* b = block + 4 * k;
        a[k] = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    }
    for (uint64_t r = 0; r < rounds; ++r) qm_c_simd_round(a);
    return a[0] ^ a[1] ^ a[2] ^ a[3] ^ a[4] ^ a[5] ^ a[6] ^ a[7];
}

uint64_t run_simd(uint64_t iterations, Workspace* ws) {
    // Both suites start every call from the pristine block, so what an
    // earlier call left behind never reaches the checksum.
    std::memcpy(ws->simd_block, g_simd_src, kSimdBytes);
    const uint64_t rounds = iterations * kRoundsPerIteration;
    if (g_c_backend != 1) return qm_simd(rounds, ws->simd_block);
    return qm_c_simd(rounds, ws->simd_block);
}

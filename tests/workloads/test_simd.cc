// Vector test: the REAL recurrence on known words, the hand-written kernel
// against an intrinsics model round by round, and the run function's refresh
// of the block in both suites.
#include <gtest/gtest.h>
#include <emmintrin.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/simd.h"

namespace {

// The RAW round loop written with SSE2 intrinsics. It runs on the same
// processor as the kernel, so rcpps and rsqrtps give the same bits.
struct RawModel {
    __m128i s[8];
    __m128 f, g, a = _mm_setzero_ps();

    explicit RawModel(const uint8_t* block) {
        for (int k = 0; k < 8; ++k) s[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
        f = _mm_cvtepi32_ps(s[0]);
        g = _mm_cvtepi32_ps(s[1]);
    }

    void round() {
        const __m128i u = _mm_add_epi16(_mm_mullo_epi16(s[0], s[1]), s[2]);
        const __m128i v = _mm_add_epi16(_mm_mullo_epi16(s[1], s[2]), s[3]);
        const __m128i w = _mm_add_epi16(_mm_mullo_epi16(s[2], s[3]), u);
        s[4] = _mm_adds_epi16(s[4], u);
        s[5] = _mm_adds_epu16(s[5], v);
        s[6] = _mm_subs_epi16(s[6], w);
        s[7] = _mm_subs_epu16(s[7], s[3]);
        s[3] = _mm_add_epi32(s[3], _mm_madd_epi16(u, v));
        const __m128i x = _mm_xor_si128(w, _mm_mulhi_epi16(u, v));
        s[2] = _mm_or_si128(_mm_slli_epi32(x, 3), _mm_srli_epi32(x, 29));
        s[3] = _mm_and_si128(s[3], s[4]);
        s[5] = _mm_max_epi16(s[5], u);
        s[6] = _mm_min_epi16(s[6], v);
        s[7] = _mm_avg_epu8(s[7], s[4]);
        s[4] = _mm_add_epi16(s[4], _mm_sad_epu8(u, s[5]));
        s[0] = _mm_shuffle_epi32(u, 0x1b);
        s[1] = _mm_xor_si128(v, s[0]);
        const __m128 p = _mm_add_ps(a, _mm_mul_ps(f, g));
        a = _mm_add_ps(p, _mm_rcp_ps(f));
        f = _mm_mul_ps(f, _mm_rsqrt_ps(p));
    }

    uint32_t checksum() const {
        __m128i t = _mm_cvttps_epi32(a);
        for (const __m128i& v : s) t = _mm_xor_si128(t, v);
        uint32_t lanes[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), t);
        return lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
};

TEST(Simd, KnownWordsAndTheZeroBlock) {
    std::array<uint32_t, 8> a = {1, 2, 3, 4, 5, 6, 7, 8};
    qm_c_simd_round(a.data());
    EXPECT_EQ(a, (std::array<uint32_t, 8>{224, 896, 2944, 8704, 24064, 63488, 161792, 9207808}));
    // The same words as little-endian bytes, with noise after byte 31.
    uint8_t block[kSimdBytes];
    for (size_t k = 0; k < kSimdBytes; ++k) block[k] = k < 32 ? (k % 4 ? 0 : k / 4 + 1) : 0xC3 ^ k;
    EXPECT_EQ(qm_c_simd(0, block), 0u);
    EXPECT_EQ(qm_c_simd(1, block), 9336032u);
    EXPECT_EQ(qm_c_simd(2, block), 1659751470u);

    alignas(16) uint8_t zero[kSimdBytes] = {};
    for (uint64_t rounds : {1u, 2u, 100000u}) {
        EXPECT_EQ(qm_simd(rounds, zero), 0u) << rounds;
        EXPECT_EQ(qm_c_simd(rounds, zero), 0u) << rounds;
    }
}

TEST(Simd, RawMatchesTheIntrinsicsModelAndBothIgnoreUnreadBytes) {
    // Blocks of 16-bit lanes: random, the saturation corners, small values
    // that keep the float lanes finite for a while, and counting.
    std::mt19937_64 gen(0x51D);
    const uint16_t corners[] = {0x7FFF, 0x8000, 0xFFFF, 0x0000, 0x0001, 0x7FFE, 0x8001, 0x00FF};
    std::vector<std::vector<uint8_t>> blocks(6, std::vector<uint8_t>(kSimdBytes));
    for (size_t k = 0; k < kSimdBytes / 2; ++k) {
        const uint16_t lanes[6] = {static_cast<uint16_t>(gen()),          static_cast<uint16_t>(gen()),
                                   static_cast<uint16_t>(gen()),          corners[(k * 5 + k / 8) % 8],
                                   static_cast<uint16_t>(gen() % 9 - 4), static_cast<uint16_t>(k + 1)};
        for (int b = 0; b < 6; ++b) std::memcpy(&blocks[b][2 * k], &lanes[b], 2);
    }
    for (size_t b = 0; b < blocks.size(); ++b) {
        SCOPED_TRACE(b);
        uint8_t* block = blocks[b].data();
        // RAW reads the first 128 bytes, REAL the first 32: the copies differ
        // after those, and the RAW copy sits off its 16-byte boundary.
        std::vector<uint8_t> raw_copy(kSimdBytes + 1), real_copy = blocks[b];
        for (size_t k = 32; k < kSimdBytes; ++k) real_copy[k] ^= static_cast<uint8_t>(0x5D + k);
        std::memcpy(raw_copy.data() + 1, block, 128);
        std::memcpy(raw_copy.data() + 129, real_copy.data() + 128, 128);
        const std::vector<uint8_t> before = raw_copy;
        EXPECT_EQ(qm_c_simd(1000, real_copy.data()), qm_c_simd(1000, block));

        RawModel model(block);
        EXPECT_EQ(qm_simd(0, block), 0u);
        for (uint64_t r = 1; r <= 5000; ++r) {
            model.round();
            if (r > 200 && r < 5000) continue;  // round by round, then one long run
            ASSERT_EQ(qm_simd(r, block), model.checksum()) << r;
            ASSERT_EQ(qm_simd(r, raw_copy.data() + 1), model.checksum()) << r;
        }
        EXPECT_EQ(raw_copy, before) << "the kernel must not write the block";
    }
}

TEST(RunSimd, RefreshesTheBlockAtEveryCallInBothSuites) {
    ensure_workloads();
    Workspace* ws = &g_ws[1];
    for (int backend : {0, 1}) {
        SCOPED_TRACE(backend);
        BackendScope scope(backend);
        std::memset(ws->simd_block, 0x5A, kSimdBytes);
        EXPECT_EQ(run_simd(0, ws), 0u);
        EXPECT_EQ(std::memcmp(ws->simd_block, g_simd_src, kSimdBytes), 0);
        const uint64_t first = run_simd(2, ws);
        std::memset(ws->simd_block, 0xFF, kSimdBytes);
        EXPECT_EQ(run_simd(2, ws), first);
        // One kernel call for the whole count, on the prepared source.
        EXPECT_EQ(first, backend == 1 ? qm_c_simd(200000, g_simd_src) : qm_simd(200000, g_simd_src));
    }
}

}  // namespace

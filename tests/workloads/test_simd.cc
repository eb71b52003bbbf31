// Vector test: the REAL recurrence on known words, the hand-written kernel
// against an intrinsics model round by round, and the run function's refresh
// of the block in both suites.
#include <gtest/gtest.h>
#include <emmintrin.h>

#include <cstring>
#include <random>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/simd.h"
#include "workloads/workloads.h"

namespace {

// The RAW round loop written with SSE2 intrinsics. It runs on the same
// processor as the kernel, so rcpps and rsqrtps give the same bits.
struct RawModel {
    __m128i s[8];
    __m128 f, g, a;

    explicit RawModel(const uint8_t* block) {
        for (int k = 0; k < 8; ++k)
            s[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
        f = _mm_cvtepi32_ps(s[0]);
        g = _mm_cvtepi32_ps(s[1]);
        a = _mm_setzero_ps();
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
        const __m128 r = _mm_rcp_ps(f);
        const __m128 q = _mm_rsqrt_ps(p);
        a = _mm_add_ps(p, r);
        f = _mm_mul_ps(f, q);
    }

    uint32_t checksum() const {
        __m128i t = _mm_cvttps_epi32(a);
        for (const __m128i& v : s) t = _mm_xor_si128(t, v);
        uint32_t lanes[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), t);
        return lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
};

std::vector<uint8_t> random_block(std::mt19937_64& gen) {
    std::vector<uint8_t> b(kSimdBytes);
    for (auto& x : b) x = static_cast<uint8_t>(gen());
    return b;
}

// Blocks that reach the corners: saturation limits, small lanes that keep
// the float lanes finite for a while, plain counting bytes, random bytes.
std::vector<std::vector<uint8_t>> model_blocks() {
    std::mt19937_64 gen(0x51D);
    std::vector<std::vector<uint8_t>> blocks;
    for (int k = 0; k < 4; ++k) blocks.push_back(random_block(gen));

    std::vector<uint8_t> extremes(kSimdBytes);
    const uint16_t corners[] = {0x7FFF, 0x8000, 0xFFFF, 0x0000, 0x0001, 0x7FFE, 0x8001, 0x00FF};
    for (size_t k = 0; k < kSimdBytes / 2; ++k) {
        const uint16_t v = corners[(k * 5 + k / 8) % 8];
        std::memcpy(&extremes[2 * k], &v, 2);
    }
    blocks.push_back(extremes);

    std::vector<uint8_t> small(kSimdBytes);
    for (size_t k = 0; k < kSimdBytes / 2; ++k) {
        const int16_t v = static_cast<int16_t>(static_cast<int>(gen() % 9) - 4);
        std::memcpy(&small[2 * k], &v, 2);
    }
    blocks.push_back(small);

    std::vector<uint8_t> counting(kSimdBytes);
    for (size_t k = 0; k < kSimdBytes; ++k) counting[k] = static_cast<uint8_t>(k + 1);
    blocks.push_back(counting);
    return blocks;
}

TEST(RealSimd, KnownWordsAfterOneAndTwoRounds) {
    uint32_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    qm_c_simd_round(a);
    const uint32_t one[8] = {224, 896, 2944, 8704, 24064, 63488, 161792, 9207808};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(a[k], one[k]) << "word " << k;

    // The same words as little-endian bytes, with noise after byte 31.
    uint8_t block[kSimdBytes];
    for (size_t k = 0; k < kSimdBytes; ++k) block[k] = static_cast<uint8_t>(0xC3 ^ k);
    for (uint32_t k = 0; k < 8; ++k) {
        const uint32_t word = k + 1;
        for (int b = 0; b < 4; ++b) block[4 * k + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    EXPECT_EQ(qm_c_simd(0, block), 0u);
    EXPECT_EQ(qm_c_simd(1, block), 9336032u);
    EXPECT_EQ(qm_c_simd(2, block), 1659751470u);
}

TEST(Simd, AllZeroBlockGivesZeroInBothSuites) {
    alignas(16) uint8_t zero[kSimdBytes] = {};
    for (uint64_t rounds : {1u, 2u, 3u, 100u, 100000u}) {
        EXPECT_EQ(qm_simd(rounds, zero), 0u) << rounds;
        EXPECT_EQ(qm_c_simd(rounds, zero), 0u) << rounds;
    }
}

TEST(Simd, ChecksumsIgnoreTheUnreadBytes) {
    std::mt19937_64 gen(99);
    for (int trial = 0; trial < 4; ++trial) {
        std::vector<uint8_t> base = random_block(gen);
        std::vector<uint8_t> raw_noise = base, real_noise = base;
        for (size_t k = 128; k < kSimdBytes; ++k) raw_noise[k] = static_cast<uint8_t>(gen());
        for (size_t k = 32; k < kSimdBytes; ++k) real_noise[k] = static_cast<uint8_t>(gen());
        for (uint64_t rounds : {1u, 5u, 1000u}) {
            EXPECT_EQ(qm_simd(rounds, raw_noise.data()), qm_simd(rounds, base.data()));
            EXPECT_EQ(qm_c_simd(rounds, real_noise.data()), qm_c_simd(rounds, base.data()));
        }
    }
}

TEST(RawSimd, MatchesTheIntrinsicsModelRoundByRound) {
    constexpr uint64_t kRounds = 200;
    int index = 0;
    for (std::vector<uint8_t> block : model_blocks()) {
        // One spare byte in front puts the vectors off their 16-byte boundary.
        std::vector<uint8_t> shifted(kSimdBytes + 1);
        std::memcpy(shifted.data() + 1, block.data(), kSimdBytes);
        const std::vector<uint8_t> before = shifted;

        RawModel model(block.data());
        EXPECT_EQ(qm_simd(0, block.data()), 0u);
        for (uint64_t r = 1; r <= kRounds; ++r) {
            model.round();
            const uint32_t want = model.checksum();
            ASSERT_EQ(qm_simd(r, block.data()), want) << "block " << index << " round " << r;
            ASSERT_EQ(qm_simd(r, shifted.data() + 1), want) << "block " << index << " round " << r;
        }
        for (uint64_t r = kRounds; r < 5000; ++r) model.round();
        EXPECT_EQ(qm_simd(5000, block.data()), model.checksum()) << "block " << index;
        EXPECT_EQ(shifted, before) << "the kernel must not write the block";
        ++index;
    }
}

TEST(RunSimd, RefreshesTheBlockAtEveryCallInBothSuites) {
    ensure_workloads();
    Workspace* ws = &g_ws[1];
    for (int backend : {0, 1}) {
        BackendScope scope(backend);
        std::memset(ws->simd_block, 0x5A, kSimdBytes);
        EXPECT_EQ(run_simd(0, ws), 0u) << "suite " << backend;
        EXPECT_EQ(std::memcmp(ws->simd_block, g_simd_src, kSimdBytes), 0) << "suite " << backend;

        const uint64_t first = run_simd(2, ws);
        std::memset(ws->simd_block, 0xFF, kSimdBytes);
        const uint64_t second = run_simd(2, ws);
        EXPECT_EQ(first, second) << "suite " << backend;
        EXPECT_EQ(first >> 32, 0u) << "suite " << backend;

        // One kernel call for the whole count, on the prepared source.
        const uint64_t direct =
            backend == 1 ? qm_c_simd(200000, g_simd_src) : qm_simd(200000, g_simd_src);
        EXPECT_EQ(first, direct) << "suite " << backend;
    }
}

}  // namespace

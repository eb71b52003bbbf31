// arm64 only: the FRECPE/FRSQRTE models against the instructions' results,
// and the RAW vector checksum they fix for every arm64 processor.
#include <gtest/gtest.h>

#include "workloads/aarch64/estimates.h"
#include "workloads/simd_model.h"
#include "workloads/workload_env.h"

TEST(Arm64Estimates, ModelsMatchTheInstructions) {
    // Input, FRECPE, FRSQRTE, as the instructions give them: both 8-bit
    // tables' ends, odd and even exponents, results that come out subnormal,
    // subnormal inputs on both sides of 2^-128 (FRECPE overflows below it),
    // zeros, infinities, negatives, and quiet and signalling NaNs.
    const struct {
        uint32_t x, recpe, rsqrte;
    } cases[] = {
        {0x3F800000u, 0x3F7F8000u, 0x3F7F8000u},  // 1
        {0x40000000u, 0x3EFF8000u, 0x3F348000u},  // 2
        {0x3FFFFFFFu, 0x3F000000u, 0x3F350000u},  // just below 2
        {0x3F000000u, 0x3FFF8000u, 0x3FB48000u},  // 0.5
        {0x40490FDBu, 0x3EA30000u, 0x3F108000u},  // pi
        {0x7F7FFFFFu, 0x00200000u, 0x1F800000u},  // the largest float
        {0x7F000000u, 0x003FE000u, 0x1FB48000u},  // 2^127
        {0x7E800000u, 0x007FC000u, 0x1FFF8000u},  // 2^126
        {0x00800000u, 0x7E7F8000u, 0x5EFF8000u},  // the smallest normal
        {0x007FFFFFu, 0x7E800000u, 0x5F000000u},  // the largest subnormal
        {0x00200000u, 0x7F7F8000u, 0x5F7F8000u},  // 2^-128
        {0x001FFFFFu, 0x7F800000u, 0x5F800000u},
        {0x00012345u, 0x7F800000u, 0x60AA0000u},
        {0x00000001u, 0x7F800000u, 0x64B48000u},  // the smallest subnormal
        {0xBF800000u, 0xBF7F8000u, 0x7FC00000u},  // -1
        {0x80200000u, 0xFF7F8000u, 0x7FC00000u},
        {0x00000000u, 0x7F800000u, 0x7F800000u},
        {0x80000000u, 0xFF800000u, 0xFF800000u},
        {0x7F800000u, 0x00000000u, 0x00000000u},
        {0xFF800000u, 0x80000000u, 0x7FC00000u},
        {0x7FC00000u, 0x7FC00000u, 0x7FC00000u},
        {0x7F800001u, 0x7FC00001u, 0x7FC00001u},  // signalling: quietened, payload kept
        {0xFFA00001u, 0xFFE00001u, 0xFFE00001u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(estimates::frecpe(c.x), c.recpe) << std::hex << c.x;
        EXPECT_EQ(estimates::frsqrte(c.x), c.rsqrte) << std::hex << c.x;
    }
}

TEST(Arm64Estimates, VectorChecksumOfThePreparedBlock) {
    // The estimates are the architecture's, so the RAW checksum is fixed on
    // arm64, unlike on x86-64.
    ensure_workloads();
    for (auto [rounds, want] : {std::pair<uint64_t, uint64_t>{1, 1086994036}, {100000, 3559883638}}) {
        std::vector<uint8_t> block(g_simd_src, g_simd_src + kSimdBytes);
        EXPECT_EQ(simd_model(block.data(), rounds), want) << rounds;
        EXPECT_EQ(qm_simd(rounds, block.data()), want) << rounds;
    }
}

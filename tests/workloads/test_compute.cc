// The three compute-bound kernels: fixed checksums from the reference values
// and the RAW routines against their portable twins.
#include <gtest/gtest.h>

#include "workload_env.h"
#include "workloads/kernels.h"

TEST(NativeInteger, KnownValuesInBothSuites) {
    EXPECT_EQ(qm_c_int32_loop(0), 0x90FA83FEu);
    EXPECT_EQ(qm_c_int32_loop(1), 0xFCCEDE4Fu);
    for (int backend : {0, 1}) {
        BackendScope scope(backend);
        EXPECT_EQ(run_int32(0, nullptr), 0x90FA83FEull);
        EXPECT_EQ(run_int32(1, nullptr), 0xF40880DFull);
    }
}

TEST(WideInteger, RawRoutineKnownValues) {
    EXPECT_EQ(qm_int_math(0), 0u);
    EXPECT_EQ(qm_int_math(1), 0x21587E1AB174F7C4ull);
    EXPECT_EQ(qm_int_math(100000), 0x33E4F82706ECA4ADull);
}

TEST(WideInteger, SuitesComputeTheirOwnRecurrence) {
    EXPECT_EQ(qm_c_int_loop(0), 0u);
    EXPECT_EQ(qm_c_int_loop(1), 0xECF2C5B1A6725FDDull);
    {
        BackendScope raw(0);
        EXPECT_EQ(run_int(0, nullptr), 0u);
        EXPECT_EQ(run_int(1, nullptr), 0x33E4F82706ECA4ADull);
    }
    {
        BackendScope real(1);
        EXPECT_EQ(run_int(0, nullptr), 0u);
        EXPECT_EQ(run_int(1, nullptr), 0x0774C71C0D5A220Bull);
    }
}

// A model of the RAW table in C++, so every step count can be compared, not
// only the two published ones: catches a wrong shift kind or operand order.
static uint64_t int_math_model(uint64_t steps) {
    if (steps == 0) return 0;
    const uint64_t K = 0xDEADBEEF;
    uint64_t w0 = 0x9E3779B97F4A7C15ull, w1 = 0xBF58476D1CE4E5B9ull;
    uint64_t w2 = 0x94D049BB133111EBull, w3 = 0x2545F4914F6CDD1Dull;
    for (uint64_t i = 0; i < steps; ++i) {
        w0 = w0 * K + w1;
        w1 = w1 * K + w2;
        w2 = w2 * K + w3;
        w3 = w3 * K + w0;
        w0 ^= w2 >> 29;
        w1 ^= w3 << 17;
        w2 ^= (w0 >> 31) | (w0 << 33);
        w3 &= ~static_cast<uint64_t>(static_cast<int64_t>(w1) >> 7);
        w0 += static_cast<uint64_t>((static_cast<unsigned __int128>(w0) * w2) >> 64);
        w1 += static_cast<uint64_t>((static_cast<__int128>(static_cast<int64_t>(w1)) * static_cast<int64_t>(w3)) >> 64);
        w0 ^= __builtin_bswap64(w2);
        w1 ^= __builtin_bswap64(w3);
        const uint64_t d = K | 1;
        w2 -= (w0 / d) * d;
        w3 += static_cast<uint64_t>(static_cast<int64_t>(w1) / static_cast<int64_t>(d));
        w1 = (w1 >> 11) | (w1 << 53);
        w0 = (w0 << 23) | (w1 >> 41);
    }
    return w0 ^ w1 ^ w2 ^ w3;
}

TEST(WideInteger, RawRoutineMatchesModelForManyStepCounts) {
    for (uint64_t steps : {1ull, 2ull, 3ull, 7ull, 64ull, 1000ull, 12345ull})
        EXPECT_EQ(qm_int_math(steps), int_math_model(steps)) << steps << " steps";
}

TEST(FloatingPoint, BothSuitesConvergeToTheSameValue) {
    EXPECT_EQ(qm_fp_math(0), 0u);
    EXPECT_EQ(qm_c_fp_loop(0), 0u);
    // One step: the final sums are added in different orders.
    EXPECT_EQ(qm_fp_math(1), 0x4022C18554B350A4ull);
    EXPECT_EQ(qm_c_fp_loop(1), 0x4022C18554B350A5ull);
    EXPECT_EQ(qm_fp_math(2), 0x40266A344587380Eull);
    EXPECT_EQ(qm_c_fp_loop(2), 0x40266A344587380Eull);
    for (uint64_t steps : {3ull, 4ull, 100000ull}) {
        EXPECT_EQ(qm_fp_math(steps), 0x40269021F164683Eull);
        EXPECT_EQ(qm_c_fp_loop(steps), 0x40269021F164683Eull);
    }
    for (int backend : {0, 1}) {
        BackendScope scope(backend);
        EXPECT_EQ(run_fp(0, nullptr), 0u);
        EXPECT_EQ(run_fp(1, nullptr), 0x40269021F164683Eull);
        EXPECT_EQ(run_fp(3, nullptr), 0x40269021F164683Eull);
    }
}

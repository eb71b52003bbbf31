// Fixed results of the kernels: published or hand-computed values that pin
// each suite's checksum, independent of the other suite and of the models.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <string>

#include "workload_env.h"

TEST(KnownValues, ComputeLoopsAndSieve) {
    const struct {
        const char* what;
        uint64_t got, want;
    } cases[] = {
        {"int32 seed words", qm_c_int32_loop(0), 0x90FA83FEu},
        {"int32 one step", qm_c_int32_loop(1), 0xFCCEDE4Fu},
        {"int32 one iteration", run_int32(1, nullptr), 0xF40880DFu},
        {"RAW int64 one step", qm_int_math(1), 0x21587E1AB174F7C4ull},
        {"RAW int64 one iteration", qm_int_math(100000), 0x33E4F82706ECA4ADull},
        {"REAL int64 one step", qm_c_int_loop(1), 0xECF2C5B1A6725FDDull},
        {"REAL int64 one iteration", qm_c_int_loop(100000), 0x0774C71C0D5A220Bull},
        // One step: the suites add the final sums in different orders.
        {"RAW fp one step", qm_fp_math(1), 0x4022C18554B350A4ull},
        {"REAL fp one step", qm_c_fp_loop(1), 0x4022C18554B350A5ull},
        {"fp two steps", qm_fp_math(2), 0x40266A344587380Eull},
        {"fp converged", qm_c_fp_loop(100000), 0x40269021F164683Eull},
        {"primes below 3", qm_c_sieve(std::array<uint8_t, 3>().data(), 3), 1},
        {"primes below 10", qm_c_sieve(std::array<uint8_t, 10>().data(), 10), 4},
        {"primes below 2M", qm_c_sieve(std::vector<uint8_t>(kSieveBytes).data(), kSieveBytes), 148933},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(KnownValues, VectorRecurrence) {
    std::array<uint32_t, 8> a = {1, 2, 3, 4, 5, 6, 7, 8};
    qm_c_simd_round(a.data());
    EXPECT_EQ(a, (std::array<uint32_t, 8>{224, 896, 2944, 8704, 24064, 63488, 161792, 9207808}));
    // The same words as little-endian bytes, noise after byte 31 (never read).
    uint8_t block[kSimdBytes];
    for (size_t k = 0; k < kSimdBytes; ++k) block[k] = k < 32 ? (k % 4 ? 0 : k / 4 + 1) : 0xC3 ^ k;
    EXPECT_EQ(qm_c_simd(0, block), 0u);
    EXPECT_EQ(qm_c_simd(1, block), 9336032u);
    EXPECT_EQ(qm_c_simd(2, block), 1659751470u);
    alignas(16) uint8_t zero[kSimdBytes] = {};
    for (uint64_t rounds : {1u, 100000u}) {
        EXPECT_EQ(qm_simd(rounds, zero), 0u) << rounds;
        EXPECT_EQ(qm_c_simd(rounds, zero), 0u) << rounds;
    }
}

TEST(KnownValues, TwoBodiesAndSmallSorts) {
    // Two bodies a unit apart: equal masses pull with equal and opposite
    // velocities; masses 1 and 3 give a known sum.
    for (auto kernel : {qm_physics, qm_c_physics}) {
        for (auto [m2, sum] : {std::pair{1.0, uint64_t{0}}, {3.0, uint64_t{0x3F8D37E9ADF377A3}}}) {
            Body two[2] = {{0, 0, 0, 1, 0, 0, 0, 0}, {1, 0, 0, m2, 0, 0, 0, 0}};
            EXPECT_EQ(kernel(two, 2, 1), sum);
            EXPECT_GT(two[0].vx, 0.0);
        }
    }
    // One key: the RAW chain gives the key back, REAL twice it.
    uint32_t one[1] = {0xFFFFFFF0u};
    EXPECT_EQ(qm_sort(one, 1), 0xFFFFFFF0u);
    EXPECT_EQ(qm_c_sort(one, 1), 0x1FFFFFFE0u);
    for (std::array<uint32_t, 3> keys : {std::array<uint32_t, 3>{3, 1, 2}, {2, 3, 1}}) {
        std::array<uint32_t, 3> copy = keys;
        EXPECT_EQ(qm_sort(keys.data(), 3), 0x020C080000000003ull);
        EXPECT_EQ(qm_c_sort(copy.data(), 3), 0x0808000000000006ull);
        EXPECT_EQ(keys, (std::array<uint32_t, 3>{1, 2, 3}));
    }
}

TEST(KnownValues, TriadInBothSuites) {
    ensure_workloads();
    for (int backend : {0, 1}) {
        BackendScope scope(backend);
        for (int w = 0; w < 2; ++w) {
            Workspace* ws = &g_ws[w];
            EXPECT_EQ(run_stream(1, ws), 0x3F70AA90u);
            EXPECT_EQ(run_stream(16, ws), 0x3F841480u);
            EXPECT_EQ(run_stream(0, ws), 0u);  // c[0] = 0 * s + 0 once a pass ran
        }
    }
    // Every element rewritten, multiply and add rounded apart.
    Workspace* ws = &g_ws[0];
    std::memset(ws->stream_c, 0xFF, kStreamElems * sizeof(float));
    run_stream(1, ws);
    for (size_t i = 0; i < kStreamElems; ++i) {
        const float want = ws->stream_b[i] * kTriadScalar + ws->stream_a[i];
        ASSERT_EQ(std::bit_cast<uint32_t>(ws->stream_c[i]), std::bit_cast<uint32_t>(want)) << i;
    }
}

TEST(KnownValues, ChaChaKeystreamAndFolds) {
    // RFC 8439, Appendix A.1: all-zero key and nonce, vectors 1 (counter 0) and 2 (counter 1).
    const std::string hex =
        "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7da41597c5157488d7724e03fb8d84a37"
        "6a43b8f41518a11cc387b669b2ee65869f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
        "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f";
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < hex.size(); i += 2) stream.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    // Block 0's words k[0..3] are ade0b876 903df1a0 e56a5d40 28bd8653 and
    // k[12..15] f4b8436a 1ca11815 69b687c3 8665eeb2, so the RAW fold is
    // 5958fb1c + 8c9ce9b5 + 8cdcda83 + aed868e1 = 21ab2835 (mod 2^32); the
    // REAL fold is the XOR of all sixteen words. Two blocks fold in block 1.
    const uint64_t folds[2][2] = {{0x21ab2835u, 0xa76d54b1u}, {0x3ede82f3u, 0x458ed6a0u}};
    const uint8_t key[32] = {};
    for (int k = 0; k < 2; ++k) {
        for (size_t blocks : {1u, 2u}) {
            std::vector<uint8_t> buf(64 * blocks, 0);
            EXPECT_EQ((k ? qm_c_chacha20 : qm_chacha20)(buf.data(), buf.size(), key, 1), folds[blocks - 1][k]) << k;
            EXPECT_TRUE(std::equal(buf.begin(), buf.end(), stream.begin())) << k;
        }
    }
}

TEST(KnownValues, WorkloadChecksumsOnEveryArchitecture) {
    // One iteration of the tests that run on prepared data, workspace 0, both
    // suites: the same bits from the x86-64 and the arm64 kernels, so that
    // results from the two compare.
    ensure_workloads();
    const struct {
        int test;
        uint64_t raw, real;
    } cases[] = {
        {5, 0x199FBB, 0x199FBB},
        {6, 0xCE179FDE, 0x33E4283F},
        {7, 0xBFFA1E51F46D98F0, 0xBFFA1E51F46D9962},
        {8, 0x837A36DBB5333014, 0xF1964A69AF13C3CA},
        {9, 0xCDF650, 0xCDF650},
    };
    for (const auto& c : cases) {
        for (int backend : {0, 1}) {
            BackendScope scope(backend);
            EXPECT_EQ(tests[c.test].run(1, &g_ws[0]), backend ? c.real : c.raw) << tests[c.test].name << " " << backend;
        }
    }
}

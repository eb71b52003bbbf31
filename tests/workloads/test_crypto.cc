// ChaCha20: published RFC 8439 vectors, the length and pass rules, the RAW
// routine against the portable kernel, and the two checksum folds.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "workloads/crypto.h"
#include "workloads/kernels.h"
#include "workload_env.h"

namespace {

using Block = std::array<uint8_t, 64>;
using Kernel = uint64_t (*)(uint8_t*, uint64_t, const uint8_t*, uint64_t);
const Kernel kKernels[2] = {qm_chacha20, qm_c_chacha20};
const char* const kKernelNames[2] = {"raw", "real"};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// The block function with the state laid out from a key, a counter and a
// 12-byte nonce, as the RFC does.
Block keystream(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12]) {
    uint32_t in[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
    for (int i = 0; i < 8; ++i) in[4 + i] = le32(key + 4 * i);
    in[12] = counter;
    for (int i = 0; i < 3; ++i) in[13 + i] = le32(nonce + 4 * i);
    uint32_t out[16];
    chacha20_block(in, out);
    Block b;
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 4; ++j) b[4 * i + j] = static_cast<uint8_t>(out[i] >> (8 * j));
    return b;
}

const uint8_t kZeroNonce[12] = {};

struct Folds {
    uint32_t c[4] = {};
    uint32_t all = 0;
    void add(const Block& ks) {
        for (int j = 0; j < 4; ++j) c[j] ^= le32(&ks[4 * j]) ^ le32(&ks[48 + 4 * j]);
        for (int i = 0; i < 16; ++i) all ^= le32(&ks[4 * i]);
    }
    uint64_t raw() const { return static_cast<uint32_t>(c[0] + c[1] + c[2] + c[3]); }
};

// Folds of a call over `blocks` blocks and `passes` passes.
Folds model_folds(const uint8_t key[32], uint64_t blocks, uint64_t passes) {
    Folds f;
    for (uint64_t n = 0; n < blocks * passes; ++n) f.add(keystream(key, static_cast<uint32_t>(n), kZeroNonce));
    return f;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + 37 * i + (i >> 5));
    return v;
}

// RFC 8439, Appendix A.1: all-zero key and nonce, test vectors 1 (counter 0)
// and 2 (counter 1).
const uint8_t kZeroKeyStream[128] = {
    0x76, 0xb8, 0xe0, 0xad, 0xa0, 0xf1, 0x3d, 0x90, 0x40, 0x5d, 0x6a, 0xe5, 0x53, 0x86, 0xbd, 0x28,
    0xbd, 0xd2, 0x19, 0xb8, 0xa0, 0x8d, 0xed, 0x1a, 0xa8, 0x36, 0xef, 0xcc, 0x8b, 0x77, 0x0d, 0xc7,
    0xda, 0x41, 0x59, 0x7c, 0x51, 0x57, 0x48, 0x8d, 0x77, 0x24, 0xe0, 0x3f, 0xb8, 0xd8, 0x4a, 0x37,
    0x6a, 0x43, 0xb8, 0xf4, 0x15, 0x18, 0xa1, 0x1c, 0xc3, 0x87, 0xb6, 0x69, 0xb2, 0xee, 0x65, 0x86,
    0x9f, 0x07, 0xe7, 0xbe, 0x55, 0x51, 0x38, 0x7a, 0x98, 0xba, 0x97, 0x7c, 0x73, 0x2d, 0x08, 0x0d,
    0xcb, 0x0f, 0x29, 0xa0, 0x48, 0xe3, 0x65, 0x69, 0x12, 0xc6, 0x53, 0x3e, 0x32, 0xee, 0x7a, 0xed,
    0x29, 0xb7, 0x21, 0x76, 0x9c, 0xe6, 0x4e, 0x43, 0xd5, 0x71, 0x33, 0xb0, 0x74, 0xd8, 0x39, 0xd5,
    0x31, 0xed, 0x1f, 0x28, 0x51, 0x0a, 0xfb, 0x45, 0xac, 0xe1, 0x0a, 0x1f, 0x4b, 0x79, 0x4d, 0x6f,
};

TEST(Crypto, ZeroKeyGivesRfcKeystreamAndHandComputedFolds) {
    const uint8_t key[32] = {};
    EXPECT_EQ(0, std::memcmp(keystream(key, 0, kZeroNonce).data(), kZeroKeyStream, 64));
    EXPECT_EQ(0, std::memcmp(keystream(key, 1, kZeroNonce).data(), kZeroKeyStream + 64, 64));

    // Block 0's words k[0..3] are ade0b876 903df1a0 e56a5d40 28bd8653 and
    // k[12..15] f4b8436a 1ca11815 69b687c3 8665eeb2, so the RAW fold is
    // 5958fb1c + 8c9ce9b5 + 8cdcda83 + aed868e1 = 21ab2835 (mod 2^32); the
    // REAL fold is the XOR of all sixteen words. Two blocks fold in block 1.
    const uint64_t one_block[2] = {0x21ab2835u, 0xa76d54b1u};
    const uint64_t two_blocks[2] = {0x3ede82f3u, 0x458ed6a0u};
    for (int k = 0; k < 2; ++k) {
        std::vector<uint8_t> buf(128, 0);
        EXPECT_EQ(kKernels[k](buf.data(), 64, key, 1), one_block[k]) << kKernelNames[k];
        EXPECT_EQ(0, std::memcmp(buf.data(), kZeroKeyStream, 64)) << kKernelNames[k];

        std::fill(buf.begin(), buf.end(), 0);
        EXPECT_EQ(kKernels[k](buf.data(), 128, key, 1), two_blocks[k]) << kKernelNames[k];
        EXPECT_EQ(0, std::memcmp(buf.data(), kZeroKeyStream, 128)) << kKernelNames[k];
    }
}

TEST(Crypto, RfcEncryptionExample) {
    // RFC 8439, section 2.4.2: key 00..1f, nonce 00:00:00:00:00:00:00:4a:00:00:00:00,
    // initial counter 1.
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
    const uint8_t nonce[12] = {0, 0, 0, 0, 0, 0, 0, 0x4a, 0, 0, 0, 0};
    const char* plain =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
        "sunscreen would be it.";
    const uint8_t cipher[114] = {
        0x6e, 0x2e, 0x35, 0x9a, 0x25, 0x68, 0xf9, 0x80, 0x41, 0xba, 0x07, 0x28, 0xdd, 0x0d, 0x69, 0x81,
        0xe9, 0x7e, 0x7a, 0xec, 0x1d, 0x43, 0x60, 0xc2, 0x0a, 0x27, 0xaf, 0xcc, 0xfd, 0x9f, 0xae, 0x0b,
        0xf9, 0x1b, 0x65, 0xc5, 0x52, 0x47, 0x33, 0xab, 0x8f, 0x59, 0x3d, 0xab, 0xcd, 0x62, 0xb3, 0x57,
        0x16, 0x39, 0xd6, 0x24, 0xe6, 0x51, 0x52, 0xab, 0x8f, 0x53, 0x0c, 0x35, 0x9f, 0x08, 0x61, 0xd8,
        0x07, 0xca, 0x0d, 0xbf, 0x50, 0x0d, 0x6a, 0x61, 0x56, 0xa3, 0x8e, 0x08, 0x8a, 0x22, 0xb6, 0x5e,
        0x52, 0xbc, 0x51, 0x4d, 0x16, 0xcc, 0xf8, 0x06, 0x81, 0x8c, 0xe9, 0x1a, 0xb7, 0x79, 0x37, 0x36,
        0x5a, 0xf9, 0x0b, 0xbf, 0x74, 0xa3, 0x5b, 0xe6, 0xb4, 0x0b, 0x8e, 0xed, 0xf2, 0x78, 0x5e, 0x42,
        0x87, 0x4d,
    };
    ASSERT_EQ(std::strlen(plain), sizeof cipher);
    const Block b1 = keystream(key, 1, nonce), b2 = keystream(key, 2, nonce);
    for (size_t i = 0; i < sizeof cipher; ++i) {
        const uint8_t ks = i < 64 ? b1[i] : b2[i - 64];
        EXPECT_EQ(static_cast<uint8_t>(plain[i]) ^ ks, cipher[i]) << i;
    }
}

TEST(Crypto, OnlyWholeBlocksAreTouched) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    const std::vector<uint8_t> orig = pattern(160, 7);
    const Block ks0 = keystream(key, 0, kZeroNonce);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(kKernelNames[k]);
        std::vector<uint8_t> buf = orig;
        for (uint64_t len : {0u, 1u, 63u}) {
            EXPECT_EQ(kKernels[k](buf.data(), len, key, 3), 0u) << len;
            EXPECT_EQ(buf, orig) << len;
        }
        EXPECT_EQ(kKernels[k](buf.data(), 160, key, 0), 0u);
        EXPECT_EQ(buf, orig);

        // 100 bytes: block 0 only; bytes 64..99 and beyond stay as they were.
        EXPECT_NE(kKernels[k](buf.data(), 100, key, 1), 0u);
        for (size_t i = 0; i < 64; ++i) EXPECT_EQ(buf[i], orig[i] ^ ks0[i]) << i;
        EXPECT_TRUE(std::equal(buf.begin() + 64, buf.end(), orig.begin() + 64));
    }
}

TEST(Crypto, CounterCarriesAcrossPasses) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(3 * i + 1);
    const std::vector<uint8_t> orig = pattern(128, 99);
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(kKernelNames[k]);
        // Two passes over two blocks use counters 0, 1 and then 2, 3.
        std::vector<uint8_t> twice = orig;
        kKernels[k](twice.data(), 128, key, 2);
        for (size_t i = 0; i < 128; ++i) {
            const uint32_t b = static_cast<uint32_t>(i / 64);
            EXPECT_EQ(twice[i], orig[i] ^ keystream(key, b, kZeroNonce)[i % 64] ^
                                    keystream(key, b + 2, kZeroNonce)[i % 64])
                << i;
        }
        // Two one-pass calls restart the counter and so undo each other.
        std::vector<uint8_t> again = orig;
        const uint64_t first = kKernels[k](again.data(), 128, key, 1);
        const uint64_t second = kKernels[k](again.data(), 128, key, 1);
        EXPECT_EQ(first, second);
        EXPECT_EQ(again, orig);
        EXPECT_NE(twice, again);
    }
}

TEST(Crypto, RawAndPortableApplyTheSameKeystream) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * i + 11);
    // Odd block count, odd length, buffer deliberately misaligned.
    const std::vector<uint8_t> orig = pattern(7 * 64 + 30 + 1, 5);
    std::vector<uint8_t> raw = orig, real = orig;
    const uint64_t raw_sum = qm_chacha20(raw.data() + 1, 7 * 64 + 30, key, 3);
    const uint64_t real_sum = qm_c_chacha20(real.data() + 1, 7 * 64 + 30, key, 3);
    EXPECT_EQ(raw, real);
    EXPECT_NE(raw, orig);

    const Folds f = model_folds(key, 7, 3);
    EXPECT_EQ(raw_sum, f.raw());
    EXPECT_EQ(real_sum, f.all);
    EXPECT_NE(raw_sum, real_sum);
}

TEST(Crypto, ChecksumsIgnoreTheBufferContents) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(200 - i);
    for (int k = 0; k < 2; ++k) {
        std::vector<uint8_t> a = pattern(4096, 1), b = pattern(4096, 2), zero(4096, 0);
        const uint64_t sa = kKernels[k](a.data(), a.size(), key, 2);
        EXPECT_EQ(kKernels[k](b.data(), b.size(), key, 2), sa) << kKernelNames[k];
        EXPECT_EQ(kKernels[k](zero.data(), zero.size(), key, 2), sa) << kKernelNames[k];
    }
}

TEST(Crypto, RunFunctionInBothSuites) {
    ensure_workloads();
    Workspace* ws = &g_ws[0];
    const Folds f = model_folds(g_key, kCipherBytes / 64, 2);
    const uint64_t expected[2] = {f.raw(), f.all};
    const Block last0 = keystream(g_key, kCipherBytes / 64 - 1, kZeroNonce);
    for (int backend : {0, 1}) {
        SCOPED_TRACE(backend);
        BackendScope scope(backend);
        const std::vector<uint8_t> before(ws->cipher_buf, ws->cipher_buf + kCipherBytes);
        EXPECT_EQ(run_crypto(0, ws), 0u);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), ws->cipher_buf));

        // One pass reaches the buffer's last block.
        run_crypto(1, ws);
        for (size_t i = 0; i < 64; ++i)
            ASSERT_EQ(ws->cipher_buf[kCipherBytes - 64 + i], before[kCipherBytes - 64 + i] ^ last0[i]) << i;

        // Same count, same checksum, although the buffer has moved on.
        const uint64_t first = run_crypto(2, ws);
        EXPECT_EQ(first, expected[backend]);
        EXPECT_EQ(first >> 32, 0u);
        EXPECT_EQ(run_crypto(2, ws), first);
    }
}

}  // namespace

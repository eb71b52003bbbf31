// ChaCha20: published RFC 8439 vectors and hand-computed checksum folds.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "workload_env.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Kernel = uint64_t (*)(uint8_t*, uint64_t, const uint8_t*, uint64_t);
const Kernel kKernels[2] = {qm_chacha20, qm_c_chacha20};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

Bytes from_hex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The block function with the state laid out from a key, a counter and a
// 12-byte nonce, as the RFC does.
Bytes keystream(const uint8_t* key, uint64_t counter, const uint8_t* nonce = nullptr) {
    uint32_t in[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u}, out[16];
    for (int i = 0; i < 8; ++i) in[4 + i] = le32(key + 4 * i);
    in[12] = static_cast<uint32_t>(counter);
    for (int i = 0; i < 3; ++i) in[13 + i] = nonce ? le32(nonce + 4 * i) : 0;
    chacha20_block(in, out);
    Bytes b(64);
    for (int i = 0; i < 64; ++i) b[i] = static_cast<uint8_t>(out[i / 4] >> (8 * (i % 4)));
    return b;
}

TEST(Crypto, RfcVectorsAndHandComputedFolds) {
    // RFC 8439, Appendix A.1: all-zero key and nonce, vectors 1 (counter 0) and 2 (counter 1).
    const Bytes zero_key_stream = from_hex(
        "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7da41597c5157488d7724e03fb8d84a37"
        "6a43b8f41518a11cc387b669b2ee65869f07e7be5551387a98ba977c732d080dcb0f29a048e3656912c6533e32ee7aed"
        "29b721769ce64e43d57133b074d839d531ed1f28510afb45ace10a1f4b794d6f");
    // Block 0's words k[0..3] are ade0b876 903df1a0 e56a5d40 28bd8653 and
    // k[12..15] f4b8436a 1ca11815 69b687c3 8665eeb2, so the RAW fold is
    // 5958fb1c + 8c9ce9b5 + 8cdcda83 + aed868e1 = 21ab2835 (mod 2^32); the
    // REAL fold is the XOR of all sixteen words. Two blocks fold in block 1.
    const uint64_t folds[2][2] = {{0x21ab2835u, 0xa76d54b1u}, {0x3ede82f3u, 0x458ed6a0u}};
    const uint8_t key[32] = {};
    for (int k = 0; k < 2; ++k) {
        for (size_t blocks : {1u, 2u}) {
            Bytes buf(64 * blocks, 0);
            EXPECT_EQ(kKernels[k](buf.data(), buf.size(), key, 1), folds[blocks - 1][k]) << k;
            EXPECT_TRUE(std::equal(buf.begin(), buf.end(), zero_key_stream.begin())) << k;
        }
    }

    // RFC 8439, section 2.4.2: key 00..1f, nonce 00:00:00:00:00:00:00:4a:00:00:00:00, counter 1.
    Bytes rfc_key(32);
    for (int i = 0; i < 32; ++i) rfc_key[i] = static_cast<uint8_t>(i);
    const Bytes nonce = from_hex("000000000000004a00000000");
    const std::string plain =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
        "sunscreen would be it.";
    const Bytes cipher = from_hex(
        "6e2e359a2568f98041ba0728dd0d6981e97e7aec1d4360c20a27afccfd9fae0bf91b65c5524733ab8f593dabcd62b357"
        "1639d624e65152ab8f530c359f0861d807ca0dbf500d6a6156a38e088a22b65e52bc514d16ccf806818ce91ab7793736"
        "5af90bbf74a35be6b40b8eedf2785e42874d");
    ASSERT_EQ(plain.size(), cipher.size());
    for (size_t i = 0; i < cipher.size(); ++i) {
        const Bytes ks = keystream(rfc_key.data(), 1 + i / 64, nonce.data());
        EXPECT_EQ(static_cast<uint8_t>(plain[i]) ^ ks[i % 64], cipher[i]) << i;
    }
}

}  // namespace

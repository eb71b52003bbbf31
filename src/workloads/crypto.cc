// Encryption test: ChaCha20 over the thread's 1 MiB buffer, in place.
#include <bit>

#include "workloads/kernels.h"

namespace {

inline uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

}  // namespace

void chacha20_block(const uint32_t in[16], uint32_t out[16]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
    for (int r = 0; r < 10; ++r) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

uint64_t qm_c_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key, uint64_t passes) {
    static const uint8_t sigma[16] = {'e', 'x', 'p', 'a', 'n', 'd', ' ', '3',
                                      '2', '-', 'b', 'y', 't', 'e', ' ', 'k'};
    const uint64_t blocks = len / 64;
    if (blocks == 0 || passes == 0) return 0;

    uint32_t in[16];
    for (int i = 0; i < 4; ++i) in[i] = load_le32(sigma + 4 * i);
    for (int i = 0; i < 8; ++i) in[4 + i] = load_le32(key + 4 * i);
    in[12] = 0;  // the counter carries on across passes
    in[13] = in[14] = in[15] = 0;

    uint32_t sum = 0;
    for (uint64_t p = 0; p < passes; ++p) {
        uint8_t* block = buf;
        for (uint64_t b = 0; b < blocks; ++b, block += 64) {
            uint32_t ks[16];
            chacha20_block(in, ks);
            for (int i = 0; i < 16; ++i) {
                const uint32_t w = ks[i];
                block[4 * i + 0] ^= static_cast<uint8_t>(w);
                block[4 * i + 1] ^= static_cast<uint8_t>(w >> 8);
                block[4 * i + 2] ^= static_cast<uint8_t>(w >> 16);
                block[4 * i + 3] ^= static_cast<uint8_t>(w >> 24);
                sum ^= w;
            }
            ++in[12];
        }
    }
    return sum;
}

uint64_t run_crypto(uint64_t iterations, Workspace* ws) {
    uint8_t* buf = ws->cipher_buf;
    if (g_c_backend != 1) return qm_chacha20(buf, kCipherBytes, g_key, iterations);
    if (iterations == 0) return 0;
    return qm_c_chacha20(buf, kCipherBytes, g_key, iterations);
}

#include "server/ids.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstring>

namespace {

const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz234567";

std::string random_text(int bytes) {
    unsigned char raw[32];
    if (!system_random(raw, static_cast<size_t>(bytes))) return std::string();
    return base32_encode(raw, static_cast<size_t>(bytes));
}

}  // namespace

std::string base32_encode(const unsigned char* data, size_t size) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (size_t i = 0; i < size; ++i) {
        buffer = (buffer << 8) | data[i];
        bits += 8;
        while (bits >= 5) {
            out += kAlphabet[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    if (bits > 0) out += kAlphabet[(buffer << (5 - bits)) & 31];
    return out;
}

int system_random(unsigned char* out, size_t size) {
    // getentropy serves at most 256 bytes a call and never returns short.
    while (size > 0) {
        const size_t n = size > 256 ? 256 : size;
        if (getentropy(out, n) != 0) return 0;
        out += n;
        size -= n;
    }
    return 1;
}

std::string new_result_id() { return random_text(kIdBytes); }

std::string new_claim_code() { return random_text(kClaimBytes); }



void hash_claim_code(const std::string& code, unsigned char hash[32]) {
    unsigned int length = 32;
    if (EVP_Digest(code.data(), code.size(), hash, &length, EVP_sha256(), nullptr) != 1 || length != 32)
        std::memset(hash, 0, 32);  // matches no stored code: those are real digests
}

int same_claim_hash(const unsigned char a[32], const unsigned char b[32]) { return CRYPTO_memcmp(a, b, 32) == 0; }

// Result ids and claim codes: random, written in lower-case base32 so that
// they read well in a link and cannot be guessed or enumerated.
#pragma once

#include <string>

constexpr int kIdBytes = 10;     // 80 bits, 16 characters
constexpr int kClaimBytes = 20;  // 160 bits, 32 characters
constexpr size_t kIdLength = 16;
constexpr size_t kClaimLength = 32;

// Lower-case RFC 4648 base32 without padding.
std::string base32_encode(const unsigned char* data, size_t size);

// Fills out with bytes from the system's random source; 0 when it failed.
int system_random(unsigned char* out, size_t size);

// A new result id / claim code; empty when no randomness was available.
std::string new_result_id();
std::string new_claim_code();


// SHA-256 of the claim code: the only form in which a code is stored.
void hash_claim_code(const std::string& code, unsigned char hash[32]);

// Constant-time equality of two 32-byte hashes.
int same_claim_hash(const unsigned char a[32], const unsigned char b[32]);

// Extended Instructions: the portable kernel the REAL suite runs.
#pragma once

#include <bit>
#include <cstdint>

// One round of the REAL recurrence on the eight words, in place; each update
// sees the words already updated in this round.
inline void qm_c_simd_round(uint32_t a[8]) {
    a[0] = std::rotl(a[0] + 3u * a[1], 5);
    a[1] = std::rotl(a[1] + 4u * a[2], 6);
    a[2] = std::rotl(a[2] + 5u * a[3], 7);
    a[3] = std::rotl(a[3] + 6u * a[4], 8);
    a[4] = std::rotl(a[4] + 7u * a[5], 9);
    a[5] = std::rotl(a[5] + 8u * a[6], 10);
    a[6] = std::rotl(a[6] + 9u * a[7], 11);
    a[7] = std::rotl(a[7] + 10u * a[0], 12);
}

// Runs the recurrence for `rounds` rounds on the eight little-endian words at
// the start of block (only its first 32 bytes are read) and returns the XOR
// of the words; 0 when rounds is 0.
uint32_t qm_c_simd(uint64_t rounds, const uint8_t* block);

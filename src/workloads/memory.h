// Portable kernels of the memory tests, shared with the tests.
#pragma once

#include <cstdint>

// Pointer chase from `start`: `loads` dependent loads, as rounds of eight
// (a remainder of fewer than eight loads, which run_chase never has, follows
// one at a time). Returns the byte distance from `start` to the node reached.
uint64_t qm_c_chase(const uint64_t* start, uint64_t loads);

// The triad scalar, 1 + 2^-10 (bits 0x3F802000).
constexpr float kTriadScalar = 1.0009765625f;

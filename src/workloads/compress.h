// The compression test's portable match finder.
#pragma once

#include <cstdint>

// One greedy LZ77 pass over exactly 4 MiB (0x400000 bytes) of input with the
// 65,536-entry table; returns the pass's cost. The table is cleared first.
uint64_t qm_c_compress(const uint8_t* input, uint32_t* table);

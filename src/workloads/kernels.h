// The hand-written RAW kernels (src/workloads/raw/*.S), one routine each,
// under the platform's standard x86-64 calling convention.
#pragma once

#include <cstdint>

#include "workloads/workloads.h"

extern "C" {
uint64_t qm_int_math(uint64_t steps);
uint64_t qm_fp_math(uint64_t steps);
uint64_t qm_primes(uint64_t limit, uint8_t* flags);
uint64_t qm_simd(uint64_t rounds, uint8_t* block);
uint64_t qm_compress(const uint8_t* input, uint64_t len, uint32_t* table);
uint64_t qm_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key, uint64_t passes);
uint64_t qm_physics(Body* bodies, uint64_t n, uint64_t steps);
uint64_t qm_sort(uint32_t* keys, uint64_t n);
void st_siftdown(uint32_t* keys, uint64_t size, uint64_t start);
uint64_t qm_chase(const uint64_t* start, uint64_t loads);
}

// Portable twins that tests compare the RAW routines against.
uint32_t qm_c_int32_loop(uint64_t steps);
uint64_t qm_c_int_loop(uint64_t steps);
uint64_t qm_c_fp_loop(uint64_t steps);

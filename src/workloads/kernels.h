// Every test's run function and kernels, side by side in catalogue order:
// the RAW routine (hand-written, src/workloads/raw/*.S, standard x86-64
// calling convention) next to its portable REAL twin. A run function picks
// one of the pair by g_c_backend.
#pragma once

#include <cstdint>

#include "workloads/workloads.h"

// 0 Native Integer Math: REAL only; both suites run it.
uint64_t run_int32(uint64_t iterations, Workspace* ws);
uint32_t qm_c_int32_loop(uint64_t steps);

// 1 Wide Integer Math: RAW qm_int_math mixes differently; unrelated checksums.
uint64_t run_int(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_int_math(uint64_t steps);
uint64_t qm_c_int_loop(uint64_t steps);

// 2 Floating Point Math: same recurrence as qm_fp_math, final sum in another order.
uint64_t run_fp(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_fp_math(uint64_t steps);
uint64_t qm_c_fp_loop(uint64_t steps);

// 3 Prime Numbers: one pass over flags[0 .. limit-1] (flag 1 marks 0, 1 and
// every composite); returns the primes below limit, as qm_primes does. Below
// limit 2 it returns 0 and leaves the buffer alone.
uint64_t run_primes(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_primes(uint64_t limit, uint8_t* flags);
uint64_t qm_c_sieve(uint8_t* flags, uint64_t limit);

// 4 Extended Instructions: one round of the eight-word recurrence, in place
// (each update sees the words already updated this round); and `rounds`
// rounds on the little-endian words in the first 32 bytes of block, returning
// the XOR of the words (0 for no round). Unrelated to qm_simd.
uint64_t run_simd(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_simd(uint64_t rounds, uint8_t* block);
void qm_c_simd_round(uint32_t a[8]);
uint32_t qm_c_simd(uint64_t rounds, const uint8_t* block);

// 5 Compression: one greedy LZ77 pass over exactly kCorpusBytes of input with
// the 65,536-entry table (cleared first); returns the pass's cost, as
// qm_compress does for that length.
uint64_t run_compress(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_compress(const uint8_t* input, uint64_t len, uint32_t* table);
uint64_t qm_c_compress(const uint8_t* input, uint32_t* table);

// 6 Encryption: one ChaCha20 block (20 rounds, input added back; word 12 is
// the counter). qm_c_chacha20 encrypts buf in place `passes` times over its
// whole 64-byte blocks, counter from 0 carrying on across passes, nonce zero,
// a trailing partial block left alone; returns the XOR of every keystream
// word used, 0 with the buffer untouched when there is no block or pass.
// qm_chacha20 writes the same bytes but folds another checksum.
uint64_t run_crypto(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key, uint64_t passes);
void chacha20_block(const uint32_t in[16], uint32_t out[16]);
uint64_t qm_c_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key, uint64_t passes);

// 7 Physics: `steps` steps of n bodies in place, the same arithmetic in the
// same order as qm_physics; returns the bits of the velocity sum taken body
// by body as ((vx + vy) + vz) + S (qm_physics adds in another order).
uint64_t run_physics(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_physics(Body* bodies, uint64_t n, uint64_t steps);
constexpr double kPhysicsDt = 0.0078125;  // 2^-7
constexpr double kPhysicsEps2 = 0.0625;   // softening added to every squared distance
uint64_t qm_c_physics(Body* bodies, uint64_t n, uint64_t steps);

// 8 Sorting: sift-down with st_siftdown's steps (left child on equal
// children, stop on equal keys); heapsort ascending, returning the chain
// h = (rotr(h, 7) XOR k) + k over the sorted keys (qm_sort chains otherwise).
uint64_t run_sort(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_sort(uint32_t* keys, uint64_t n);
extern "C" void st_siftdown(uint32_t* keys, uint64_t size, uint64_t start);
void qm_c_siftdown(uint32_t* keys, uint64_t size, uint64_t start);
uint64_t qm_c_sort(uint32_t* keys, uint64_t n);

// 9 Memory Latency: `loads` dependent loads from start, in rounds of eight;
// returns the byte distance from start to the node reached, as qm_chase.
uint64_t run_chase(uint64_t iterations, Workspace* ws);
extern "C" uint64_t qm_chase(const uint64_t* start, uint64_t loads);
uint64_t qm_c_chase(const uint64_t* start, uint64_t loads);

// 10 Memory Bandwidth: REAL only, c = b * s + a with this s = 1 + 2^-10.
uint64_t run_stream(uint64_t iterations, Workspace* ws);
constexpr float kTriadScalar = 1.0009765625f;

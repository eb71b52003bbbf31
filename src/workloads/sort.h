// Portable heapsort of the sorting test: the REAL suite runs it, and the
// tests hold the hand-written routines against it.
#pragma once

#include <cstdint>

// Sift-down from `start` in the max-heap keys[0 .. size-1]; the same steps as
// st_siftdown (left child on equal children, stop on equal keys).
void qm_c_siftdown(uint32_t* keys, uint64_t size, uint64_t start);

// Heapsorts keys[0 .. n-1] ascending and returns the REAL checksum chain over
// the sorted keys: h = (rotr(h, 7) XOR k) + k, h starting at 0.
uint64_t qm_c_sort(uint32_t* keys, uint64_t n);

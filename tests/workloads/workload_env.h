// Shared workload data for the kernel tests: prepared once, on demand.
#pragma once

#include <cstring>
#include <vector>

#include "workloads/kernels.h"

// Prepares the workloads for two threads unless some data is already in place
// (a test that rebuilds the data releases it and leaves g_ws null).
inline void ensure_workloads() {
    if (g_ws == nullptr) {
        g_ncores = 2;
        prepare_workloads();
    }
}

// Sets the suite for the rest of a test and restores RAW afterwards.
struct BackendScope {
    explicit BackendScope(int backend) { g_c_backend = static_cast<unsigned char>(backend); }
    ~BackendScope() { g_c_backend = 0; }
};

// A ring as node indices, which do not depend on where the buffer lies.
inline std::vector<uint64_t> ring_indices(const uint64_t* ring) {
    std::vector<uint64_t> idx(kRingNodes);
    for (size_t n = 0; n < kRingNodes; ++n) idx[n] = (ring[n] - reinterpret_cast<uint64_t>(ring)) / 8;
    return idx;
}

// Shared workload data for the kernel tests: prepared once, on demand.
#pragma once

#include "workloads/workloads.h"

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

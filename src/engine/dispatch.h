#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "workloads/workloads.h"

struct JobSlot {
    RunFn function;
    uint64_t iterations;
    Workspace* workspace;
    uint64_t result;
};

// Stack of each worker thread. The kernels use well under a kilobyte; the
// system default (often 8 MiB reserved per thread) would let an address-space
// limit that the workload data still fits starve the threads.
constexpr size_t kWorkerStackBytes = 64 * 1024;

// Thread start routine: runs one slot.
void* job_entry(void* slot);

// Runs fn once on each of n threads (workspace i for thread i) and returns
// the wrapping sum of their checksums. Uses g_ws. A thread that cannot be
// created has its share run on the calling thread; *not_started, when given,
// receives how many of the n threads that was.
uint64_t dispatch(RunFn fn, uint64_t iterations, int32_t n, int32_t* not_started = nullptr);

// Seam for tests: the workspace array and the thread-creation call are given.
using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
uint64_t dispatch_with(RunFn fn, uint64_t iterations, int32_t n, Workspace* workspaces,
                       ThreadCreateFn create_thread, int32_t* not_started = nullptr);

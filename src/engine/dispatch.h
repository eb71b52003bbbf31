#pragma once

#include <pthread.h>

#include <cstdint>

#include "workloads/workloads.h"

struct JobSlot {
    RunFn function;
    uint64_t iterations;
    Workspace* workspace;
    uint64_t result;
};

// Thread start routine: runs one slot.
void* job_entry(void* slot);

// Runs fn once on each of n threads (workspace i for thread i) and returns
// the wrapping sum of their checksums. Uses g_ws.
uint64_t dispatch(RunFn fn, uint64_t iterations, int32_t n);

// Seam for tests: the workspace array and the thread-creation call are given.
using ThreadCreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
uint64_t dispatch_with(RunFn fn, uint64_t iterations, int32_t n, Workspace* workspaces,
                       ThreadCreateFn create_thread);

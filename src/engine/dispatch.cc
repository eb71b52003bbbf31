// One timed run fanned out over N threads: N-1 fresh POSIX threads plus the
// calling thread, joined before returning. No pool, no locks: creation and
// joining are the only synchronisation.
#include "engine/dispatch.h"

#include <climits>
#include <cstdlib>

#include "workloads/alloc.h"

void* job_entry(void* arg) {
    JobSlot* slot = static_cast<JobSlot*>(arg);
    slot->result = slot->function(slot->iterations, slot->workspace);
    return nullptr;
}

uint64_t dispatch_with(RunFn fn, uint64_t iterations, int32_t n, Workspace* workspaces,
                       ThreadCreateFn create_thread, int32_t* not_started) {
    JobSlot* slots = static_cast<JobSlot*>(alloc_aligned(static_cast<size_t>(n) * sizeof(JobSlot)));
    pthread_t* handles = nullptr;
    if (n >= 2) handles = static_cast<pthread_t*>(alloc_aligned(static_cast<size_t>(n - 1) * sizeof(pthread_t)));

    for (int32_t i = 0; i < n; ++i) {
        slots[i].function = fn;
        slots[i].iterations = iterations;
        slots[i].workspace = &workspaces[i];
        slots[i].result = 0;
    }

    pthread_attr_t attr;
    const bool have_attr = n >= 2 && pthread_attr_init(&attr) == 0;
    if (have_attr) {
        const size_t least = static_cast<size_t>(PTHREAD_STACK_MIN);
        const size_t stack = kWorkerStackBytes > least ? kWorkerStackBytes : least;
        pthread_attr_setstacksize(&attr, stack);  // on failure the default stays
    }
    int32_t created = 0;
    for (int32_t i = 1; i < n; ++i) {
        if (create_thread(&handles[created], have_attr ? &attr : nullptr, job_entry, &slots[i]) == 0) {
            ++created;
        } else {
            // No thread: do this share here, so the run still does all the work.
            job_entry(&slots[i]);
        }
    }
    if (have_attr) pthread_attr_destroy(&attr);
    job_entry(&slots[0]);
    for (int32_t i = 0; i < created; ++i) pthread_join(handles[i], nullptr);
    if (not_started != nullptr) *not_started = n - 1 - created;

    uint64_t sum = 0;
    for (int32_t i = 0; i < n; ++i) sum += slots[i].result;

    std::free(slots);
    std::free(handles);
    return sum;
}

uint64_t dispatch(RunFn fn, uint64_t iterations, int32_t n, int32_t* not_started) {
    return dispatch_with(fn, iterations, n, g_ws, pthread_create, not_started);
}

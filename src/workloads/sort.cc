// Sorting test: copy the shared keys, heapsort them in place, fold the sorted
// keys into a checksum. RAW runs qm_sort (with st_siftdown), REAL the code here.
#include <bit>
#include <cstring>

#include "workloads/kernels.h"

void qm_c_siftdown(uint32_t* keys, uint64_t size, uint64_t start) {
    uint64_t node = start;
    uint64_t child = 2 * node + 1;
    if (child >= size) return;
    // The sifted key is the same at every level; each level still stores both.
    const uint32_t key = keys[node];
    while (child < size) {
        uint32_t child_key = keys[child];
        if (child + 1 < size && keys[child + 1] > child_key) {
            ++child;
            child_key = keys[child];
        }
        if (key >= child_key) return;
        keys[node] = child_key;
        keys[child] = key;
        node = child;
        child = 2 * node + 1;
    }
}

uint64_t qm_c_sort(uint32_t* keys, uint64_t n) {
    for (uint64_t i = n / 2; i > 0; --i) qm_c_siftdown(keys, n, i - 1);
    for (uint64_t end = n > 0 ? n - 1 : 0; end > 0; --end) {
        const uint32_t top = keys[0];
        keys[0] = keys[end];
        keys[end] = top;
        qm_c_siftdown(keys, end, 0);
    }
    uint64_t h = 0;
    for (uint64_t i = 0; i < n; ++i) h = (std::rotr(h, 7) ^ keys[i]) + keys[i];
    return h;
}

uint64_t run_sort(uint64_t iterations, Workspace* ws) {
    uint64_t checksum = 0;
    for (uint64_t pass = 0; pass < iterations; ++pass) {
        // A fresh copy every pass: the previous pass left the keys sorted.
        std::memcpy(ws->sort_keys, g_sort_src, kSortKeys * sizeof(uint32_t));
        const uint64_t h = g_c_backend == 1 ? qm_c_sort(ws->sort_keys, kSortKeys)
                                            : qm_sort(ws->sort_keys, kSortKeys);
        checksum ^= h;
    }
    return checksum;
}

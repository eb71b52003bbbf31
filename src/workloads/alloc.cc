#include "workloads/alloc.h"

#include <cstdio>
#include <cstdlib>

void fatal_out_of_memory(size_t size) {
    std::fprintf(stderr, "quillmoth: out of memory (%zu bytes)\n", size);
    std::exit(1);
}

void* alloc_aligned(size_t size) {
    void* p = nullptr;
    if (posix_memalign(&p, 64, size) != 0 || p == nullptr) fatal_out_of_memory(size);
    return p;
}

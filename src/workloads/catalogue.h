// The eleven tests as the outside world sees them: document ids, names,
// descriptions, units and starting counts. Kept free of kernels so that the
// results service can link the same table the benchmark runs from.
#pragma once

#include <cstdint>

struct CatalogueEntry {
    const char* id;  // the result document's test id
    const char* name;
    const char* detail;
    const char* unit;
    uint64_t start_iterations;
    double work_per_iteration;
    int lower_is_better;  // 1 where the shown figure is a time per access, not a rate
};

constexpr int kTestCount = 11;
constexpr int kMemoryLatencyIndex = 9;

inline constexpr CatalogueEntry g_catalogue[kTestCount] = {
    {"native_integer", "Native Integer Math", "common 32-bit multiply/add/rotate mix", "Mops/s", 20, 1600000, 0},
    {"wide_integer", "Wide Integer Math", "64-bit ALU: imul, mul, div, bitops", "Mops/s", 20, 2400000, 0},
    {"floating_point", "Floating Point Math", "double: mulsd/addsd, divsd, sqrtsd", "Mops/s", 20, 2000000, 0},
    {"primes", "Prime Numbers", "sieve of Eratosthenes to 2M", "Mcand/s", 1, 2000000, 0},
    {"extended_instructions", "Extended Instructions", "SSE2: 128-bit integer + float", "Mops/s", 10, 3200000, 0},
    {"compression", "Compression", "LZ77 match finder, 4 MiB corpus", "MB/s", 1, 4194304, 0},
    {"encryption", "Encryption", "ChaCha20, 20 rounds, 1 MiB", "MB/s", 4, 1048576, 0},
    {"physics", "Physics", "512-body direct-sum gravity", "Mpair/s", 4, 262144, 0},
    {"sorting", "Sorting", "heapsort, 1M uint32", "Mkey-cmp/s", 1, 20971520, 0},
    {"memory_latency", "Memory Latency", "dependent-load pointer chase, 16 MiB", "ns/access", 1, 1000000, 1},
    {"memory_bandwidth", "Memory Bandwidth", "STREAM triad, 12 MiB working set per thread", "MB/s", 16, 12582912, 0},
};
static_assert(g_catalogue[kMemoryLatencyIndex].lower_is_better, "latency is the one lower-is-better figure");

// The eleven tests, in the order every report and document uses.
#include "workloads/workloads.h"

unsigned char g_c_backend = 0;
int64_t g_ncores = 1;

const TestInfo tests[kTestCount] = {
    {"Native Integer Math", "common 32-bit multiply/add/rotate mix", run_int32, 20, 1600000, "Mops/s"},
    {"Wide Integer Math", "64-bit ALU: imul, mul, div, bitops", run_int, 20, 2400000, "Mops/s"},
    {"Floating Point Math", "double: mulsd/addsd, divsd, sqrtsd", run_fp, 20, 2000000, "Mops/s"},
    {"Prime Numbers", "sieve of Eratosthenes to 2M", run_primes, 1, 2000000, "Mcand/s"},
    {"Extended Instructions", "SSE2: 128-bit integer + float", run_simd, 10, 3200000, "Mops/s"},
    {"Compression", "LZ77 match finder, 4 MiB corpus", run_compress, 1, 4194304, "MB/s"},
    {"Encryption", "ChaCha20, 20 rounds, 1 MiB", run_crypto, 4, 1048576, "MB/s"},
    {"Physics", "512-body direct-sum gravity", run_physics, 4, 262144, "Mpair/s"},
    {"Sorting", "heapsort, 1M uint32", run_sort, 1, 20971520, "Mkey-cmp/s"},
    {"Memory Latency", "dependent-load pointer chase, 16 MiB", run_chase, 1, 1000000, "ns/access"},
    {"Memory Bandwidth", "STREAM triad, 12 MiB working set per thread", run_stream, 16, 12582912, "MB/s"},
};

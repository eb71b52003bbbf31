// Prime Numbers: a plain byte-per-integer sieve of Eratosthenes below 2,000,000.
#include <cstring>

#include "workloads/kernels.h"

uint64_t qm_c_sieve(uint8_t* flags, uint64_t limit) {
    if (limit < 2) return 0;

    std::memset(flags + 2, 0, limit - 2);
    const uint16_t zero_and_one = 0x0101;
    std::memcpy(flags, &zero_and_one, sizeof zero_and_one);

    for (uint64_t i = 2; i * i < limit; ++i) {
        if (flags[i] != 0) continue;
        for (uint64_t j = i * i; j < limit; j += i) flags[j] = 1;
    }

    // Every flag is 0 or 1 here, so eight flags at a time sum to the number of
    // composites among them; the multiply gathers the byte sum in the top byte.
    uint64_t composites = 0;
    uint64_t p = 2;
    for (; p + 8 <= limit; p += 8) {
        uint64_t word;
        std::memcpy(&word, flags + p, sizeof word);
        composites += (word * 0x0101010101010101ull) >> 56;
    }
    for (; p < limit; ++p) composites += flags[p];
    return (limit - 2) - composites;
}

uint64_t run_primes(uint64_t iterations, Workspace* ws) {
    uint64_t total = 0;
    for (uint64_t i = 0; i < iterations; ++i) {
        // The suite is decided per pass, as for every per-pass test.
        if (g_c_backend != 1)
            total += qm_primes(kSieveBytes, ws->sieve);
        else
            total += qm_c_sieve(ws->sieve, kSieveBytes);
    }
    return total;
}

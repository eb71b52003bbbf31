// Prime sieve: the portable pass the REAL suite runs.
#pragma once

#include <cstdint>

// One sieve pass over flags[0 .. limit-1]: flag 1 marks 0, 1 and every
// composite. Returns the number of primes below limit; for a limit below 2 it
// returns 0 and leaves the buffer alone.
uint64_t qm_c_sieve(uint8_t* flags, uint64_t limit);

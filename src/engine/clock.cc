// The clock's arithmetic; each platform's tick source is in its own file
// (clock_posix.cc, clock_macos.cc).
#include "engine/clock.h"

double mach_ticks_to_seconds(uint64_t ticks, uint32_t numer, uint32_t denom) {
    // In doubles, ticks * numer loses nanoseconds once a run passes 2^53 of them
    // (104 days), and in 64-bit integers it overflows after 8.9 days at 125/3.
    // Whole seconds and the nanoseconds left over stay exact in doubles for
    // hundreds of years.
    if (denom == 0) return 0.0;
    const unsigned __int128 ns = static_cast<unsigned __int128>(ticks) * numer / denom;
    const unsigned __int128 second = 1000000000u;
    return static_cast<double>(ns / second) + static_cast<double>(static_cast<uint64_t>(ns % second)) * 1e-9;
}

#pragma once

#include <cstdint>

// Monotonic clock in seconds; only differences are meaningful.
double now_seconds();

// Mach absolute-time ticks in seconds, for a timebase of numer/denom nanoseconds
// a tick (1/1 on Intel Macs, 125/3 on Apple Silicon). Exact to the nanosecond
// and free of overflow for any tick count: the product is taken in 128 bits.
double mach_ticks_to_seconds(uint64_t ticks, uint32_t numer, uint32_t denom);

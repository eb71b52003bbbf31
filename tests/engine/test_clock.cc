// The macOS clock's tick conversion, run here on any platform: Intel Macs tick
// in nanoseconds (1/1), Apple Silicon at 24 MHz (125/3).
#include <gtest/gtest.h>

#include <cstdint>

#include "engine/clock.h"

namespace {

TEST(Clock, MachTicksToSeconds) {
    constexpr uint64_t kAppleHz = 24000000, kYear = 365ull * 86400;
    const struct {
        uint64_t ticks;
        uint32_t numer, denom;
        double seconds, tolerance;  // 0: exact
    } cases[] = {
        {1500000000, 1, 1, 1.5, 0},
        {kAppleHz, 125, 3, 1.0, 0},
        {kAppleHz + 1, 125, 3, 1.000000041, 0},  // 41.67 ns, whole nanoseconds
        {kAppleHz * kYear, 125, 3, 31536000.0, 0},
        // A thousand years of ticks: ticks * 125 no longer fits 64 bits.
        {kAppleHz * kYear * 1000, 125, 3, 31536000000.0, 0},
        {UINT64_MAX, 1, 1, 18446744073.709551615, 1e-5},
        {UINT64_MAX, 125, 3, 768614336404.564650625, 1e-3},
        {12345, 125, 0, 0.0, 0},  // no timebase
    };
    for (const auto& c : cases) {
        const double got = mach_ticks_to_seconds(c.ticks, c.numer, c.denom);
        if (c.tolerance == 0)
            EXPECT_EQ(got, c.seconds) << c.ticks << " at " << c.numer << "/" << c.denom;
        else
            EXPECT_NEAR(got, c.seconds, c.tolerance) << c.ticks << " at " << c.numer << "/" << c.denom;
    }
    // A millisecond a thousand years into the run is still a millisecond.
    const uint64_t late = kAppleHz * kYear * 1000;
    EXPECT_NEAR(mach_ticks_to_seconds(late + 24000, 125, 3) - mach_ticks_to_seconds(late, 125, 3), 1e-3, 1e-4);
}

}  // namespace

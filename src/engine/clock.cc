// The program's one clock. Each platform's tick source stays in here.
#include "engine/clock.h"

#if defined(__APPLE__)
#include <mach/mach_time.h>
#else
#include <time.h>
#endif

double now_seconds() {
#if defined(__APPLE__)
    // Fetched once; first used by the main thread before any worker exists.
    static mach_timebase_info_data_t timebase = {0, 0};
    if (timebase.denom == 0) mach_timebase_info(&timebase);
    const double ticks = static_cast<double>(mach_absolute_time());
    return static_cast<double>(timebase.numer) * ticks / static_cast<double>(timebase.denom) * 1e-9;
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
#endif
}

// macOS's tick source: Mach absolute time, scaled by its timebase.
#include <mach/mach_time.h>

#include "engine/clock.h"

double now_seconds() {
    // Fetched once; first used by the main thread before any worker exists.
    static mach_timebase_info_data_t timebase = {0, 0};
    if (timebase.denom == 0) mach_timebase_info(&timebase);
    return mach_ticks_to_seconds(mach_absolute_time(), timebase.numer, timebase.denom);
}

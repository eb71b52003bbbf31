// The tick source everywhere but macOS: the monotonic POSIX clock.
#include <time.h>

#include "engine/clock.h"

double now_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

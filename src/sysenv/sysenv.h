// What the machine is, and how busy it was before the run.
#pragma once

#include <cstdint>
#include <cstdio>

struct SystemInfo {
    char cpu[256];
    char model[256];
    char operating_system[256];
    char compiler[128];
    char kernel[128];
    int64_t cpu_cores;
    int64_t cpu_threads;
    int64_t memory_mb;
    int64_t l1_cache_kb;
    int64_t l2_cache_kb;
    int64_t l3_cache_kb;
};

struct BackgroundStats {
    int32_t sample_seconds;
    double background_cpu_average_percent;
    double background_cpu_peak_percent;
    int64_t available_memory_mb;
    int64_t process_count;
};

// The values that stand for a check that was skipped or unavailable.
constexpr BackgroundStats kBackgroundSkipped = {0, 0.0, 0.0, -1, -1};

// The architecture the program was built for, as the report and the result
// document name it: "x86-64" or "arm64". Also the processor name when none is found.
const char* architecture_name();

// Fills *info; cannot fail (defaults stand in for failed queries).
void probe_system_info(SystemInfo* info);

// How many processors this process may use, at most the machine's info->cpu_threads:
// on Linux its affinity mask and cgroup CPU quota may allow fewer. Never below 1.
int64_t usable_processors(const SystemInfo* info);

// One line on err when usable is below logical, saying what the multi-core tests use.
void print_usable_processors(FILE* err, int64_t usable, int64_t logical);

// Samples background load for about ten seconds, printing progress on stdout.
void check_background_activity(const SystemInfo* info, BackgroundStats* stats);

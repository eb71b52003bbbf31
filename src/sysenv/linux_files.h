// Readings of a Linux system's /proc and /sys files, and the parsers behind them.
//
// Every reader takes a root directory: "" reads this machine, anything else a
// copy of the tree (tests use fixture trees). Readers return 1 on success and 0
// on failure; a file that exists but cannot be read is a failure, never an empty
// answer. Texts are always NUL-terminated within the capacity they are given, cut
// if need be. Plain file reading, so it builds everywhere; only Linux uses it at
// run time (linux.cc adds the C library's figures for this machine).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sysenv/sysenv_seams.h"

// --- Readers (one fact each) ---
long linux_online_processors(const char* root);  // -1 on failure
int linux_processor_name(const char* root, char* buf, size_t cap);
int linux_model(const char* root, char* buf, size_t cap);
int linux_physical_cores(const char* root, int32_t* cores);
int linux_memory_bytes(const char* root, uint64_t* bytes);
int linux_cache_bytes(const char* root, CacheSlot slot, uint64_t* bytes);
int linux_os_text(const char* root, char* buf, size_t cap);
int linux_cpu_ticks(const char* root, CpuTicks* ticks);
int linux_available_memory_bytes(const char* root, uint64_t* bytes);
int linux_process_count(const char* root, int64_t* count);

// Outcome of looking for one cache in cpu0's cache folder. Failed: the folder is
// missing or empty, or a file in it could not be read, so its answers are not known.
enum SysfsCache { kSysfsCacheFound = 1, kSysfsCacheAbsent = 0, kSysfsCacheFailed = -1 };
SysfsCache linux_sysfs_cache(const char* root, CacheSlot slot, uint64_t* bytes);

// The CPU bandwidth quota of this process's cgroup and its parents (cgroup v2
// cpu.max, v1 cpu.cfs_quota_us and cpu.cfs_period_us), as whole processors. 0 when
// no quota applies or none can be read.
int linux_cgroup_cpu_limit(const char* root, int64_t* cpus);

// The processors this process may use: the smallest of online (the machine's count),
// affinity (processors in its affinity mask, 0 or less when unknown) and the cgroup
// quota below root. Never below 1.
int64_t linux_usable_processors(const char* root, int64_t online, int64_t affinity);

// --- Parsers (pure; any bytes in, no crash) ---

// Unsigned decimal at *text; advances *text past the digits. 0 on no digits or overflow.
int parse_u64(const char** text, uint64_t* value);

// Removes trailing blanks and line ends in place.
void trim_trailing_space(char* text);

// A whole text that is one unsigned decimal, trailing blanks and line ends allowed.
int parse_whole_u64(const char* text, uint64_t* value);

// "0-3,8,10-11" (trailing blanks allowed): how many processors and the lowest.
int parse_cpu_list(const char* text, int64_t* count, int64_t* lowest);

// A cache size as sysfs writes it: "32K", "1024K", "1M", "8192" (bytes).
int parse_cache_size(const char* text, uint64_t* bytes);

// "key<blanks>:<blanks>value" lines of /proc/cpuinfo and /proc/meminfo. Returns the value,
// or nullptr when the line holds another key.
const char* parse_key_value(const char* line, const char* key);

// A /proc/meminfo value such as "24376364 kB", in bytes.
int parse_meminfo_bytes(const char* value, uint64_t* bytes);

// The first line of /proc/stat ("cpu  user nice system idle iowait irq softirq steal ...").
// At least the first four counters must be there; later ones count as 0 when missing.
int parse_stat_cpu_line(const char* line, CpuTicks* ticks);

// PRETTY_NAME=... of an os-release file, unquoted. 0 for other lines or an empty name.
int parse_os_release_line(const char* line, char* out, size_t cap);

// The model text from the DMI vendor and product name. 0 when the product name is
// missing or a firmware placeholder.
int compose_dmi_model(const char* vendor, const char* product, char* out, size_t cap);

// A CPU bandwidth quota as whole processors, rounded up: "quota period" as cgroup v2's
// cpu.max holds it ("150000 100000" gives 2). 0 for no quota ("max 100000", or v1's
// quota "-1") and for anything unreadable.
int parse_cpu_quota(const char* text, int64_t* cpus);

// A /proc/self/cgroup line ("hierarchy:controllers:path"): the path when the line is
// the cgroup v2 one (controller null) or a v1 one whose controllers include controller;
// nullptr otherwise.
const char* parse_cgroup_line(const char* line, const char* controller);

// A /proc/self/mountinfo line of a cgroup2 mount (controller null) or of a v1 cgroup
// mount carrying controller: the mounted root within the hierarchy and the mount point,
// octal escapes decoded. 0 for other lines or when a path does not fit.
int parse_cgroup_mount(const char* line, const char* controller, char* root, size_t root_cap, char* point,
                       size_t point_cap);

// Distinct (physical id, core id) pairs of /proc/cpuinfo, fed one line at a time.
struct CoreSet {
    static constexpr int kMaxCores = 1024;
    struct Pair {
        uint64_t package, core;
    } pairs[kMaxCores];
    int count;
    bool overflow;
    bool have_package, have_core;
    uint64_t package, core;
};
void core_set_init(CoreSet* set);
void core_set_line(CoreSet* set, const char* line);
int core_set_finish(CoreSet* set, int32_t* cores);  // 0 when nothing usable was seen

// The processor kinds of an arm64 /proc/cpuinfo, fed one line at a time: each
// processor's "CPU implementer" and "CPU part", distinct, in order of first sight
// (a big.LITTLE machine has two or three).
struct ArmParts {
    static constexpr int kMaxKinds = 4;
    struct Kind {
        uint32_t implementer, part;
    } kinds[kMaxKinds];
    int count;
    bool have_implementer;
    uint32_t implementer;
};
void arm_parts_init(ArmParts* parts);
void arm_parts_line(ArmParts* parts, const char* line);
// The kinds' names joined by " + ", a kind not in the table as its raw identifiers
// ("implementer 0x41 part 0xd99"). 0 when no kind was seen.
int arm_parts_name(const ArmParts* parts, char* out, size_t cap);
// The name of one kind, or nullptr when the table does not know it.
const char* arm_part_name(uint32_t implementer, uint32_t part);

// The probe and the background check split into their fixed steps and the
// platform readings those steps consume, so the steps can be fed fake readings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "sysenv/sysenv.h"

// --- System information probe ---

enum CacheSlot { kCacheL1Data, kCacheL1Instruction, kCacheL2, kCacheL3 };

// One platform's answers. Each returns 1 on success and 0 on failure, except
// online_processors, which answers like sysconf (-1 on failure). Text readers
// get a zero-filled buffer and must leave it NUL-terminated within cap.
// root is handed to every reader: "" for this machine, a fixture tree in tests.
struct ProbeReaders {
    const char* root;
    const char* os_default;  // operating_system when the version query fails
    long (*online_processors)(const char* root);
    int (*processor_name)(const char* root, char* buf, size_t cap);
    int (*processor_family)(const char* root, uint32_t* family);
    int (*model)(const char* root, char* buf, size_t cap);
    int (*physical_cores)(const char* root, int32_t* cores);
    int (*memory_bytes)(const char* root, uint64_t* bytes);
    int (*cache_bytes)(const char* root, CacheSlot slot, uint64_t* bytes);
    int (*os_text)(const char* root, char* buf, size_t cap);
    int (*kernel_name)(char* sysname, size_t sysname_cap, char* release, size_t release_cap);
};

// The probe's steps over the given readings.
void probe_with(const ProbeReaders* readers, SystemInfo* info);

// This platform's readers of this machine (linux.cc or macos.cc).
ProbeReaders system_probe_readers();

// uname's system name and release: the kernel reader of every platform.
int uname_kernel_name(char* sysname, size_t sysname_cap, char* release, size_t release_cap);

// "Clang <version>" or "GCC <version>" for the compiler that built this file.
void compiler_text(char* out, size_t cap);

// The processor name for a hw.cpufamily value, or nullptr for an unknown family.
const char* cpu_family_name(uint32_t family);

// "macOS <product version>" (the version may be empty).
void macos_text(const char* product_version, char* out, size_t cap);

// --- Background activity check ---

// Cumulative whole-machine CPU ticks: everything, and the idle part of it.
struct CpuTicks {
    uint64_t total;
    uint64_t idle;
};

struct BackgroundSource {
    const char* root;
    int (*cpu_ticks)(const char* root, CpuTicks* ticks);
    void (*sleep_seconds)(unsigned seconds);
    int (*available_memory_bytes)(const char* root, uint64_t* bytes);
    int (*process_count)(const char* root, int64_t* count);
};

constexpr int kBackgroundRounds = 10;
constexpr double kBackgroundWarnPercent = 10.0;

// The check's steps over the given source, printing to out.
void background_check_with(const BackgroundSource* source, FILE* out, const SystemInfo* info,
                           BackgroundStats* stats);

// This platform's source for this machine (linux.cc or macos.cc), sleeping for real.
BackgroundSource system_background_source();

void sleep_seconds(unsigned seconds);

// Mach's four 32-bit counters as the check adds them: user + system wrap at 32 bits,
// idle and nice are then added at 64 bits.
CpuTicks mach_cpu_ticks(uint32_t user, uint32_t system, uint32_t idle, uint32_t nice);

// Free plus inactive pages, in bytes.
uint64_t mach_available_bytes(uint64_t free_pages, uint64_t inactive_pages, uint64_t page_size);

// Processes in a process table of the given byte size (648 bytes a record).
int64_t mach_process_count(uint64_t table_bytes);

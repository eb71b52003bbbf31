// Linux's answers for the probe and the background check: the /proc and /sys
// readers, with the C library's figures standing in where the files cannot say,
// and the processors this process may use.
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv.h"
#include "sysenv/sysenv_seams.h"

namespace {

long online_processors(const char*) { return sysconf(_SC_NPROCESSORS_ONLN); }

int no_family(const char*, uint32_t*) { return 0; }  // Linux has no family code to fall back on

int memory_bytes(const char* root, uint64_t* bytes) {
    if (linux_memory_bytes(root, bytes)) return 1;
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    *bytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
    return 1;
}

int cache_bytes(const char* root, CacheSlot slot, uint64_t* bytes) {
    const SysfsCache found = linux_sysfs_cache(root, slot, bytes);
    if (found != kSysfsCacheFailed) return found == kSysfsCacheFound;
    // sysfs cannot say (no cache entries, common in VMs, or a failed read): the C library's figures stand in.
    long size = -1;
#if defined(_SC_LEVEL1_DCACHE_SIZE)
    static const int names[] = {_SC_LEVEL1_DCACHE_SIZE, _SC_LEVEL1_ICACHE_SIZE, _SC_LEVEL2_CACHE_SIZE,
                                _SC_LEVEL3_CACHE_SIZE};
    size = sysconf(names[slot]);
#endif
    if (size <= 0) return 0;
    *bytes = static_cast<uint64_t>(size);
    return 1;
}

// Processors in this thread's affinity mask, 0 when unknown. The set grows until the
// kernel takes its size, so machines with more processors than CPU_SETSIZE count right.
int64_t affinity_count() {
    for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return 0;
        const size_t size = CPU_ALLOC_SIZE(cpus);
        const int got = sched_getaffinity(0, size, set);
        const int error = errno;
        const int count = got == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (got == 0 || error != EINVAL) return count;
    }
    return 0;
}

}  // namespace

ProbeReaders system_probe_readers() {
    return ProbeReaders{"",           "Linux",      online_processors, linux_processor_name, no_family,
                        linux_model,  linux_physical_cores, memory_bytes, cache_bytes, linux_os_text,
                        uname_kernel_name};
}

BackgroundSource system_background_source() {
    return BackgroundSource{"", linux_cpu_ticks, sleep_seconds, linux_available_memory_bytes, linux_process_count};
}

int64_t usable_processors(const SystemInfo* info) {
    return linux_usable_processors("", info->cpu_threads, affinity_count());
}

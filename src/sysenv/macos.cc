// macOS's answers for the probe and the background check: named sysctl values and
// the Mach host statistics. Compiled on Apple only.
#include <mach/mach.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>

#include "sysenv/sysenv.h"
#include "sysenv/sysenv_seams.h"

namespace {

// A named value into cap bytes at out. An answer longer than cap fails with the
// buffer filled as far as it goes; callers terminate texts themselves.
int sysctl_bytes(const char* name, void* out, size_t cap) {
    size_t len = cap;
    return sysctlbyname(name, out, &len, nullptr, 0) == 0;
}

// A named number, zeroed first so that a narrower answer still reads right.
template <typename T>
int sysctl_value(const char* name, T* value) {
    *value = T{};
    return sysctl_bytes(name, value, sizeof *value);
}

long online_processors(const char*) { return sysconf(_SC_NPROCESSORS_ONLN); }
int processor_name(const char*, char* buf, size_t cap) { return sysctl_bytes("machdep.cpu.brand_string", buf, cap); }
int processor_family(const char*, uint32_t* family) { return sysctl_value("hw.cpufamily", family); }
int model(const char*, char* buf, size_t cap) { return sysctl_bytes("hw.model", buf, cap); }
int physical_cores(const char*, int32_t* cores) { return sysctl_value("hw.physicalcpu", cores); }
int memory_bytes(const char*, uint64_t* bytes) { return sysctl_value("hw.memsize", bytes); }

int cache_bytes(const char*, CacheSlot slot, uint64_t* bytes) {
    static const char* const names[] = {"hw.l1dcachesize", "hw.l1icachesize", "hw.l2cachesize", "hw.l3cachesize"};
    return sysctl_value(names[slot], bytes);
}

int os_text(const char*, char* buf, size_t cap) {
    char version[64] = {};
    if (!sysctl_bytes("kern.osproductversion", version, sizeof version)) return 0;
    version[sizeof version - 1] = '\0';
    macos_text(version, buf, cap);
    return 1;
}

int cpu_ticks(const char*, CpuTicks* ticks) {
    host_cpu_load_info_data_t load;
    mach_msg_type_number_t count = HOST_CPU_LOAD_INFO_COUNT;
    if (host_statistics(mach_host_self(), HOST_CPU_LOAD_INFO, reinterpret_cast<host_info_t>(&load), &count) !=
        KERN_SUCCESS)
        return 0;
    *ticks = mach_cpu_ticks(load.cpu_ticks[CPU_STATE_USER], load.cpu_ticks[CPU_STATE_SYSTEM],
                            load.cpu_ticks[CPU_STATE_IDLE], load.cpu_ticks[CPU_STATE_NICE]);
    return 1;
}

int available_memory_bytes(const char*, uint64_t* bytes) {
    vm_size_t page_size = 0;
    if (host_page_size(mach_host_self(), &page_size) != KERN_SUCCESS) return 0;
    vm_statistics_data_t vm;
    mach_msg_type_number_t count = HOST_VM_INFO_COUNT;
    if (host_statistics(mach_host_self(), HOST_VM_INFO, reinterpret_cast<host_info_t>(&vm), &count) != KERN_SUCCESS)
        return 0;
    *bytes = mach_available_bytes(vm.free_count, vm.inactive_count, page_size);
    return 1;
}

int process_count(const char*, int64_t* count) {
    int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    size_t size = 0;
    if (sysctl(name, 4, nullptr, &size, nullptr, 0) != 0) return 0;
    *count = mach_process_count(size);
    return 1;
}

}  // namespace

ProbeReaders system_probe_readers() {
    return ProbeReaders{"",    "macOS",          online_processors, processor_name, processor_family,
                        model, physical_cores,   memory_bytes,      cache_bytes,    os_text,
                        uname_kernel_name};
}

BackgroundSource system_background_source() {
    return BackgroundSource{"", cpu_ticks, sleep_seconds, available_memory_bytes, process_count};
}

// macOS has no affinity masks or quotas that bind a process to fewer processors.
int64_t usable_processors(const SystemInfo* info) { return info->cpu_threads; }

// The background activity check: ten one-second samples of the machine's CPU
// load, then the available memory and the process count.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv.h"
#include "sysenv/sysenv_seams.h"

#if defined(__APPLE__)
#include <mach/mach.h>
#include <sys/sysctl.h>
#endif

namespace {

// --- This platform's readings: one fact each ---

int read_cpu_ticks(const char* root, CpuTicks* ticks) {
#if defined(__APPLE__)
    (void)root;
    host_cpu_load_info_data_t load;
    mach_msg_type_number_t count = HOST_CPU_LOAD_INFO_COUNT;
    if (host_statistics(mach_host_self(), HOST_CPU_LOAD_INFO, reinterpret_cast<host_info_t>(&load), &count) !=
        KERN_SUCCESS)
        return 0;
    *ticks = mach_cpu_ticks(load.cpu_ticks[CPU_STATE_USER], load.cpu_ticks[CPU_STATE_SYSTEM],
                            load.cpu_ticks[CPU_STATE_IDLE], load.cpu_ticks[CPU_STATE_NICE]);
    return 1;
#else
    return linux_cpu_ticks(root, ticks);
#endif
}

int read_available_memory_bytes(const char* root, uint64_t* bytes) {
#if defined(__APPLE__)
    (void)root;
    vm_size_t page_size = 0;
    if (host_page_size(mach_host_self(), &page_size) != KERN_SUCCESS) return 0;
    vm_statistics_data_t vm;
    mach_msg_type_number_t count = HOST_VM_INFO_COUNT;
    if (host_statistics(mach_host_self(), HOST_VM_INFO, reinterpret_cast<host_info_t>(&vm), &count) != KERN_SUCCESS)
        return 0;
    *bytes = mach_available_bytes(vm.free_count, vm.inactive_count, page_size);
    return 1;
#else
    return linux_available_memory_bytes(root, bytes);
#endif
}

int read_process_count(const char* root, int64_t* count) {
#if defined(__APPLE__)
    (void)root;
    int name[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0};
    size_t size = 0;
    if (sysctl(name, 4, nullptr, &size, nullptr, 0) != 0) return 0;
    *count = mach_process_count(size);
    return 1;
#else
    return linux_process_count(root, count);
#endif
}

void sleep_for(unsigned seconds) { sleep(seconds); }

}  // namespace

CpuTicks mach_cpu_ticks(uint32_t user, uint32_t system, uint32_t idle, uint32_t nice) {
    const uint32_t busy = user + system;
    return CpuTicks{uint64_t{busy} + idle + nice, idle};
}

uint64_t mach_available_bytes(uint64_t free_pages, uint64_t inactive_pages, uint64_t page_size) {
    return (free_pages + inactive_pages) * page_size;
}

int64_t mach_process_count(uint64_t table_bytes) { return static_cast<int64_t>(table_bytes / 648); }

BackgroundSource system_background_source(const char* root) {
    return BackgroundSource{root, read_cpu_ticks, sleep_for, read_available_memory_bytes, read_process_count};
}

void background_check_with(const BackgroundSource* src, FILE* out, const SystemInfo* info, BackgroundStats* stats) {
    *stats = kBackgroundSkipped;
    std::fprintf(out, "\n  checking background system activity for %d seconds", kBackgroundRounds);
    std::fflush(out);

    CpuTicks kept;
    if (!src->cpu_ticks(src->root, &kept)) {
        std::fprintf(out, "... unavailable\n");
        return;
    }

    double sum = 0.0, peak = 0.0;
    int32_t samples = 0;
    for (int round = 0; round < kBackgroundRounds; ++round) {
        src->sleep_seconds(1);
        CpuTicks now;
        // A failed read or a total that did not grow drops the sample; the next
        // one is measured against the figures kept so far.
        if (src->cpu_ticks(src->root, &now) && now.total > kept.total) {
            const uint64_t delta_total = now.total - kept.total;
            const uint64_t delta_idle = now.idle - kept.idle;
            const uint64_t busy = delta_total >= delta_idle ? delta_total - delta_idle : 0;
            const double load = static_cast<double>(busy) * 100.0 / static_cast<double>(delta_total);
            sum += load;
            if (load > peak) peak = load;
            ++samples;
            kept = now;
        }
        std::fputc('.', out);
        std::fflush(out);
    }

    uint64_t bytes = 0;
    stats->available_memory_mb = src->available_memory_bytes(src->root, &bytes) ? static_cast<int64_t>(bytes >> 20) : -1;
    int64_t processes = 0;
    stats->process_count = src->process_count(src->root, &processes) ? processes : -1;

    std::fprintf(out, " done\n");
    if (samples == 0) return;

    const double average = sum / samples;
    std::fprintf(out, "  background CPU: %.1f%% average / %.1f%% peak\n", average, peak);
    if (stats->available_memory_mb >= 0)
        std::fprintf(out, "  available memory: %" PRId64 " MB of %" PRId64 " MB\n", stats->available_memory_mb,
                     info->memory_mb);
    if (stats->process_count >= 0) std::fprintf(out, "  processes: %" PRId64 "\n", stats->process_count);
    if (average >= kBackgroundWarnPercent)
        std::fprintf(out, "  warning: background CPU activity may reduce benchmark scores\n");

    stats->sample_seconds = samples;
    stats->background_cpu_average_percent = average;
    stats->background_cpu_peak_percent = peak;
}

void check_background_activity(const SystemInfo* info, BackgroundStats* stats) {
    const BackgroundSource source = system_background_source("");
    background_check_with(&source, stdout, info, stats);
}

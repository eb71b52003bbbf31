// The background activity check: ten one-second samples of the machine's CPU
// load, then the available memory and the process count.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "sysenv/sysenv.h"
#include "sysenv/sysenv_seams.h"

void sleep_seconds(unsigned seconds) { sleep(seconds); }

CpuTicks mach_cpu_ticks(uint32_t user, uint32_t system, uint32_t idle, uint32_t nice) {
    const uint32_t busy = user + system;
    return CpuTicks{uint64_t{busy} + idle + nice, idle};
}

uint64_t mach_available_bytes(uint64_t free_pages, uint64_t inactive_pages, uint64_t page_size) {
    return (free_pages + inactive_pages) * page_size;
}

int64_t mach_process_count(uint64_t table_bytes) { return static_cast<int64_t>(table_bytes / 648); }

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
    const BackgroundSource source = system_background_source();
    background_check_with(&source, stdout, info, stats);
}

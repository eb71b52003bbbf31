// Placeholder probe: online processor count and the default texts.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "sysenv/sysenv.h"

void probe_system_info(SystemInfo* info) {
    std::memset(info, 0, sizeof *info);
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    info->cpu_threads = n >= 2 ? n : 1;
    info->cpu_cores = info->cpu_threads;
    std::snprintf(info->cpu, sizeof info->cpu, "x86-64");
    std::snprintf(info->operating_system, sizeof info->operating_system, "Linux");
    std::snprintf(info->model, sizeof info->model, "unknown");
    std::snprintf(info->kernel, sizeof info->kernel, "unknown");
#if defined(__clang__)
    std::snprintf(info->compiler, sizeof info->compiler, "Clang %s", __clang_version__);
#else
    std::snprintf(info->compiler, sizeof info->compiler, "GCC %s", __VERSION__);
#endif
}

void check_background_activity(const SystemInfo*, BackgroundStats* stats) { *stats = kBackgroundSkipped; }

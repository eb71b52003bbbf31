// The system information probe: fixed steps over one reader per platform fact.
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>

#include "sysenv/sysenv.h"
#include "sysenv/sysenv_seams.h"

namespace {

// Copies src, cut to fit cap with its terminator.
void copy_text(char* dst, size_t cap, const char* src) {
    size_t n = 0;
    for (; n + 1 < cap && src[n] != '\0'; ++n) dst[n] = src[n];
    dst[n] = '\0';
}

}  // namespace

int uname_kernel_name(char* sysname, size_t sysname_cap, char* release, size_t release_cap) {
    struct utsname u;
    if (uname(&u) != 0) return 0;
    copy_text(sysname, sysname_cap, u.sysname);
    copy_text(release, release_cap, u.release);
    return 1;
}

const char* cpu_family_name(uint32_t family) {
    switch (family) {
        case 0x1B588BB3u: return "Apple M1";
        case 0xDA33D83Du: return "Apple M2";
        case 0x8765EDEAu: return "Apple M3";
        case 0x17D5B93Au: return "Apple M4";
        default: return nullptr;
    }
}

void macos_text(const char* product_version, char* out, size_t cap) {
    std::snprintf(out, cap, "macOS %s", product_version);
}

void probe_with(const ProbeReaders* r, SystemInfo* info) {
    // 1. Logical threads; a failed or nonsensical answer means one.
    const long online = r->online_processors(r->root);
    const int64_t threads = online >= 2 ? online : 1;

    // 2. Defaults.
    std::memset(info, 0, sizeof *info);
    info->cpu_threads = threads;
    info->cpu_cores = threads;
    copy_text(info->cpu, sizeof info->cpu, architecture_name());
    copy_text(info->operating_system, sizeof info->operating_system, r->os_default);
    compiler_text(info->compiler, sizeof info->compiler);

    // 3. Processor name, else the family's name.
    char brand[256] = {};
    const int have_brand = r->processor_name(r->root, brand, sizeof brand);
    brand[sizeof brand - 1] = '\0';
    if (have_brand && brand[0] != '\0') {
        copy_text(info->cpu, sizeof info->cpu, brand);
    } else {
        uint32_t family = 0;
        if (r->processor_family(r->root, &family)) {
            if (const char* name = cpu_family_name(family)) copy_text(info->cpu, sizeof info->cpu, name);
        }
    }

    // 4. Model, straight into the field; a failure leaves it for step 10.
    r->model(r->root, info->model, sizeof info->model);
    info->model[sizeof info->model - 1] = '\0';

    // 5. Physical cores, as reported.
    int32_t cores = 0;
    if (r->physical_cores(r->root, &cores)) info->cpu_cores = cores;

    // 6. Memory in whole mebibytes.
    uint64_t bytes = 0;
    if (r->memory_bytes(r->root, &bytes)) info->memory_mb = static_cast<int64_t>(bytes >> 20);

    // 7. Caches; L1 is data plus instruction.
    static const CacheSlot slots[] = {kCacheL1Data, kCacheL1Instruction, kCacheL2, kCacheL3};
    for (CacheSlot slot : slots) {
        uint64_t size = 0;
        if (!r->cache_bytes(r->root, slot, &size)) continue;
        const int64_t kb = static_cast<int64_t>(size >> 10);
        switch (slot) {
            case kCacheL1Data:
            case kCacheL1Instruction: info->l1_cache_kb += kb; break;
            case kCacheL2: info->l2_cache_kb = kb; break;
            case kCacheL3: info->l3_cache_kb = kb; break;
        }
    }

    // 8. Operating system.
    char os[sizeof info->operating_system] = {};
    if (r->os_text(r->root, os, sizeof os)) {
        os[sizeof os - 1] = '\0';
        copy_text(info->operating_system, sizeof info->operating_system, os);
    }

    // 9. Kernel name and release, cut so that both always fit.
    char sysname[256] = {}, release[256] = {};
    if (r->kernel_name(sysname, sizeof sysname, release, sizeof release)) {
        sysname[sizeof sysname - 1] = '\0';
        release[sizeof release - 1] = '\0';
        std::snprintf(info->kernel, sizeof info->kernel, "%.62s %.64s", sysname, release);
    }

    // 10. Normalisation: non-empty texts, positive sizes.
    if (info->cpu[0] == '\0') copy_text(info->cpu, sizeof info->cpu, architecture_name());
    if (info->model[0] == '\0') copy_text(info->model, sizeof info->model, info->cpu);
    if (info->kernel[0] == '\0') copy_text(info->kernel, sizeof info->kernel, info->operating_system);
    if (info->memory_mb <= 0) info->memory_mb = 1;
    if (info->l1_cache_kb <= 0) info->l1_cache_kb = 1;
    if (info->l2_cache_kb <= 0) info->l2_cache_kb = info->l1_cache_kb;
    if (info->l3_cache_kb <= 0) info->l3_cache_kb = info->l2_cache_kb;
}

void probe_system_info(SystemInfo* info) {
    const ProbeReaders readers = system_probe_readers();
    probe_with(&readers, info);
}

void print_usable_processors(FILE* err, int64_t usable, int64_t logical) {
    if (usable >= logical) return;
    std::fprintf(err, "  this process may use %lld of %lld logical processors; multi-core tests use %lld thread%s\n",
                 static_cast<long long>(usable), static_cast<long long>(logical), static_cast<long long>(usable),
                 usable == 1 ? "" : "s");
}

// The system information probe: fixed steps over one reader per platform fact.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv.h"
#include "sysenv/sysenv_seams.h"

#if defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace {

// Copies src, cut to fit cap with its terminator.
void copy_text(char* dst, size_t cap, const char* src) {
    size_t n = 0;
    for (; n + 1 < cap && src[n] != '\0'; ++n) dst[n] = src[n];
    dst[n] = '\0';
}

#if defined(__APPLE__)
int sysctl_u64(const char* name, uint64_t* value) {
    *value = 0;
    size_t len = sizeof *value;
    return sysctlbyname(name, value, &len, nullptr, 0) == 0;
}
#endif

// --- This platform's readers: one fact each ---

long read_online_processors(const char* root) {
#if defined(__APPLE__)
    (void)root;
    return sysconf(_SC_NPROCESSORS_ONLN);
#else
    return linux_online_processors(root);
#endif
}

int read_processor_name(const char* root, char* buf, size_t cap) {
#if defined(__APPLE__)
    (void)root;
    size_t len = cap;
    return sysctlbyname("machdep.cpu.brand_string", buf, &len, nullptr, 0) == 0;
#else
    return linux_processor_name(root, buf, cap);
#endif
}

int read_processor_family(const char* root, uint32_t* family) {
    (void)root;
#if defined(__APPLE__)
    *family = 0;
    size_t len = sizeof *family;
    return sysctlbyname("hw.cpufamily", family, &len, nullptr, 0) == 0;
#else
    (void)family;  // Linux has no family code to fall back on
    return 0;
#endif
}

int read_model(const char* root, char* buf, size_t cap) {
#if defined(__APPLE__)
    (void)root;
    // An overlong model fails with the buffer filled; the caller cuts it at cap - 1.
    size_t len = cap;
    return sysctlbyname("hw.model", buf, &len, nullptr, 0) == 0;
#else
    return linux_model(root, buf, cap);
#endif
}

int read_physical_cores(const char* root, int32_t* cores) {
#if defined(__APPLE__)
    (void)root;
    *cores = 0;
    size_t len = sizeof *cores;
    return sysctlbyname("hw.physicalcpu", cores, &len, nullptr, 0) == 0;
#else
    return linux_physical_cores(root, cores);
#endif
}

int read_memory_bytes(const char* root, uint64_t* bytes) {
#if defined(__APPLE__)
    (void)root;
    return sysctl_u64("hw.memsize", bytes);
#else
    return linux_memory_bytes(root, bytes);
#endif
}

int read_cache_bytes(const char* root, CacheSlot slot, uint64_t* bytes) {
#if defined(__APPLE__)
    (void)root;
    static const char* const names[] = {"hw.l1dcachesize", "hw.l1icachesize", "hw.l2cachesize", "hw.l3cachesize"};
    return sysctl_u64(names[slot], bytes);
#else
    return linux_cache_bytes(root, slot, bytes);
#endif
}

int read_os_text(const char* root, char* buf, size_t cap) {
#if defined(__APPLE__)
    (void)root;
    char version[64] = {};
    size_t len = sizeof version;
    if (sysctlbyname("kern.osproductversion", version, &len, nullptr, 0) != 0) return 0;
    version[sizeof version - 1] = '\0';
    macos_text(version, buf, cap);
    return 1;
#else
    return linux_os_text(root, buf, cap);
#endif
}

const char* default_os_name() {
#if defined(__APPLE__)
    return "macOS";
#else
    return "Linux";
#endif
}

int read_kernel_name(char* sysname, size_t sysname_cap, char* release, size_t release_cap) {
    struct utsname u;
    if (uname(&u) != 0) return 0;
    copy_text(sysname, sysname_cap, u.sysname);
    copy_text(release, release_cap, u.release);
    return 1;
}

}  // namespace

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

void compiler_text(char* out, size_t cap) {
#if defined(__clang__)
    std::snprintf(out, cap, "Clang %s", __clang_version__);
#elif defined(__GNUC__)
    std::snprintf(out, cap, "GCC %s", __VERSION__);
#else
    std::snprintf(out, cap, "unknown compiler");
#endif
    // Some builds end the version with a blank ("14.0.6 ").
    size_t n = std::strlen(out);
    while (n > 0 && out[n - 1] == ' ') out[--n] = '\0';
}

ProbeReaders system_probe_readers(const char* root) {
    return ProbeReaders{root,
                        default_os_name(),
                        read_online_processors,
                        read_processor_name,
                        read_processor_family,
                        read_model,
                        read_physical_cores,
                        read_memory_bytes,
                        read_cache_bytes,
                        read_os_text,
                        read_kernel_name};
}

void probe_with(const ProbeReaders* r, SystemInfo* info) {
    // 1. Logical threads; a failed or nonsensical answer means one.
    const long online = r->online_processors(r->root);
    const int64_t threads = online >= 2 ? online : 1;

    // 2. Defaults.
    std::memset(info, 0, sizeof *info);
    info->cpu_threads = threads;
    info->cpu_cores = threads;
    copy_text(info->cpu, sizeof info->cpu, "x86-64");
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
    if (info->cpu[0] == '\0') copy_text(info->cpu, sizeof info->cpu, "x86-64");
    if (info->model[0] == '\0') copy_text(info->model, sizeof info->model, info->cpu);
    if (info->kernel[0] == '\0') copy_text(info->kernel, sizeof info->kernel, info->operating_system);
    if (info->memory_mb <= 0) info->memory_mb = 1;
    if (info->l1_cache_kb <= 0) info->l1_cache_kb = 1;
    if (info->l2_cache_kb <= 0) info->l2_cache_kb = info->l1_cache_kb;
    if (info->l3_cache_kb <= 0) info->l3_cache_kb = info->l2_cache_kb;
}

void probe_system_info(SystemInfo* info) {
    const ProbeReaders readers = system_probe_readers("");
    probe_with(&readers, info);
}

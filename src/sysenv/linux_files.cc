// Linux's /proc and /sys files behind the probe, the background check and the
// usable-processor count: thin readers over the parsers, each below a root folder.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "sysenv/linux_files.h"

namespace {

constexpr size_t kPathMax = 4096;
constexpr size_t kLineMax = 4096;
constexpr uint64_t kMaxCpu = 1u << 24;  // far above any processor number

// How a read went. Absent: the file is not there (or holds nothing). Failed: it is
// there but could not be read (no descriptor left, no permission, an I/O error), so
// what it says is unknown and must not pass for "not there".
enum Read { kFailed = -1, kAbsent = 0, kRead = 1 };

bool join_path(char* out, const char* root, const char* path) {
    const int n = std::snprintf(out, kPathMax, "%s%s", root, path);
    return n > 0 && static_cast<size_t>(n) < kPathMax;
}

FILE* open_file(const char* root, const char* path, Read* outcome) {
    char full[kPathMax];
    FILE* f = join_path(full, root, path) ? std::fopen(full, "r") : nullptr;
    *outcome = f ? kRead : (errno == ENOENT || errno == ENOTDIR) ? kAbsent : kFailed;
    return f;
}

// A short attribute file (sysfs style): its first cap - 1 bytes, trailing line end and
// blanks removed.
Read read_attribute(const char* root, const char* path, char* buf, size_t cap) {
    buf[0] = '\0';
    Read outcome;
    FILE* f = open_file(root, path, &outcome);
    if (!f) return outcome;
    const size_t n = std::fread(buf, 1, cap - 1, f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    buf[failed ? 0 : n] = '\0';
    trim_trailing_space(buf);
    return failed ? kFailed : buf[0] != '\0' ? kRead : kAbsent;
}

// Line-by-line reading of a text file. An overlong line comes back cut and flagged,
// with the rest of it skipped, so its tail never poses as a line of its own.
struct LineReader {
    FILE* file;
    char line[kLineMax];
    bool cut;
};

Read open_lines(LineReader* r, const char* root, const char* path) {
    Read outcome;
    r->file = open_file(root, path, &outcome);
    return outcome;
}

bool next_line(LineReader* r) {
    if (!std::fgets(r->line, sizeof r->line, r->file)) return false;
    const size_t n = std::strlen(r->line);
    r->cut = false;
    if (n > 0 && r->line[n - 1] == '\n') {
        r->line[n - 1] = '\0';
    } else if (!std::feof(r->file)) {
        r->cut = true;
        int c;
        while ((c = std::fgetc(r->file)) != EOF && c != '\n') {
        }
    }
    return true;
}

// Closes the file; false when reading it stopped on an error rather than at its end.
bool close_lines(LineReader* r) {
    const bool ok = std::ferror(r->file) == 0;
    std::fclose(r->file);
    return ok;
}

// First whole line of root+path that carries key, its value copied into out.
int find_key_value(const char* root, const char* path, const char* key, char* out, size_t cap) {
    LineReader r;
    if (open_lines(&r, root, path) != kRead) return 0;
    const char* value = nullptr;
    while (!value && next_line(&r)) value = r.cut ? nullptr : parse_key_value(r.line, key);
    if (value) std::snprintf(out, cap, "%s", value);
    return close_lines(&r) && value;
}

// The numbers N of the entries named prefix + N in a folder below root, ascending.
// The folder is closed before the caller reads what it holds, so those reads never
// compete with it for the last descriptor. 0 when it cannot be listed to the end.
int list_numbered(const char* root, const char* path, const char* prefix, std::vector<uint64_t>* numbers) {
    char full[kPathMax];
    DIR* dir = join_path(full, root, path) ? opendir(full) : nullptr;
    if (!dir) return 0;
    const size_t skip = std::strlen(prefix);
    numbers->clear();
    for (;;) {
        errno = 0;
        const dirent* e = readdir(dir);
        if (!e) break;
        const char* s = e->d_name + skip;
        uint64_t n = 0;
        if (std::strncmp(e->d_name, prefix, skip) == 0 && parse_u64(&s, &n) && *s == '\0') numbers->push_back(n);
    }
    const bool complete = errno == 0;
    closedir(dir);
    std::sort(numbers->begin(), numbers->end());
    return complete;
}

// Cores from the sysfs topology: each is counted at its lowest-numbered online thread.
// 0 when the folder is missing or any online processor lacks a readable sibling list.
int sysfs_core_count(const char* root, int32_t* cores) {
    std::vector<uint64_t> cpus;
    if (!list_numbered(root, "/sys/devices/system/cpu", "cpu", &cpus)) return 0;
    int32_t counted = 0;
    for (const uint64_t cpu : cpus) {
        if (cpu >= kMaxCpu) continue;
        const unsigned n = static_cast<unsigned>(cpu);
        char path[128], text[1024];
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%u/online", n);
        const Read online = read_attribute(root, path, text, sizeof text);
        if (online == kFailed) return 0;
        if (online == kRead && std::strcmp(text, "0") == 0) continue;
        // core_cpus_list is the newer name of thread_siblings_list.
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%u/topology/core_cpus_list", n);
        Read siblings = read_attribute(root, path, text, sizeof text);
        if (siblings == kAbsent) {
            std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%u/topology/thread_siblings_list", n);
            siblings = read_attribute(root, path, text, sizeof text);
        }
        int64_t count = 0, lowest = 0;
        if (siblings != kRead || !parse_cpu_list(text, &count, &lowest)) return 0;
        if (static_cast<uint64_t>(lowest) == cpu) ++counted;
    }
    if (counted == 0) return 0;
    *cores = counted;
    return 1;
}

// The folder of this process's cgroup (v2 when controller is null, else the v1
// hierarchy carrying controller), as a path below root; *top is the length of its
// mount point, the highest folder of the hierarchy that this system shows.
bool cgroup_folder(const char* root, const char* controller, char* out, size_t* top) {
    char path[kPathMax] = {}, mount_root[kPathMax] = {}, point[kPathMax] = {};
    LineReader r;
    if (open_lines(&r, root, "/proc/self/cgroup") != kRead) return false;
    while (!path[0] && next_line(&r)) {
        const char* p = r.cut ? nullptr : parse_cgroup_line(r.line, controller);
        if (p) std::snprintf(path, sizeof path, "%s", p);
    }
    if (!close_lines(&r) || !path[0] || open_lines(&r, root, "/proc/self/mountinfo") != kRead) return false;
    bool mounted = false;
    while (!mounted && next_line(&r))
        mounted = !r.cut && parse_cgroup_mount(r.line, controller, mount_root, sizeof mount_root, point, sizeof point);
    if (!close_lines(&r) || !mounted) return false;

    // The mount shows the hierarchy from mount_root down; the cgroup must lie in it.
    const size_t skip = std::strcmp(mount_root, "/") == 0 ? 0 : std::strlen(mount_root);
    const char* rest = path + skip;
    if (std::strncmp(path, mount_root, skip) != 0 || (*rest != '\0' && *rest != '/') || std::strstr(rest, "/.."))
        return false;
    if (std::strcmp(rest, "/") == 0) rest = "";
    const int n = std::snprintf(out, kPathMax, "%s%s", point, rest);
    if (n <= 0 || static_cast<size_t>(n) >= kPathMax) return false;
    *top = std::strlen(point);
    return true;
}

}  // namespace

long linux_online_processors(const char* root) {
    char text[1024];
    int64_t count = 0, lowest = 0;
    if (read_attribute(root, "/sys/devices/system/cpu/online", text, sizeof text) != kRead ||
        !parse_cpu_list(text, &count, &lowest))
        return -1;
    return static_cast<long>(count);
}

int linux_processor_name(const char* root, char* buf, size_t cap) {
    if (find_key_value(root, "/proc/cpuinfo", "model name", buf, cap)) {
        trim_trailing_space(buf);
        return 1;
    }
    // arm64 kernels name no model: the processor's identifiers do.
    LineReader r;
    if (open_lines(&r, root, "/proc/cpuinfo") != kRead) return 0;
    ArmParts parts;
    arm_parts_init(&parts);
    while (next_line(&r)) {
        if (!r.cut) arm_parts_line(&parts, r.line);
    }
    return close_lines(&r) && arm_parts_name(&parts, buf, cap);
}

int linux_model(const char* root, char* buf, size_t cap) {
    char product[256], vendor[256];
    const Read dmi = read_attribute(root, "/sys/devices/virtual/dmi/id/product_name", product, sizeof product);
    if (dmi == kRead) {
        if (read_attribute(root, "/sys/devices/virtual/dmi/id/sys_vendor", vendor, sizeof vendor) == kFailed) return 0;
        return compose_dmi_model(vendor, product, buf, cap);
    }
    // Boards without DMI (most arm64 ones) name themselves in the device tree, a
    // NUL-terminated text.
    static const char* const kTreeModels[] = {"/proc/device-tree/model", "/sys/firmware/devicetree/base/model"};
    for (const char* path : kTreeModels) {
        if (read_attribute(root, path, buf, cap) == kRead) return 1;
    }
    return 0;
}

int linux_physical_cores(const char* root, int32_t* cores) {
    if (sysfs_core_count(root, cores)) return 1;
    LineReader r;
    if (open_lines(&r, root, "/proc/cpuinfo") != kRead) return 0;
    CoreSet set;
    core_set_init(&set);
    while (next_line(&r)) {
        if (!r.cut) core_set_line(&set, r.line);
    }
    return close_lines(&r) && core_set_finish(&set, cores);
}

int linux_memory_bytes(const char* root, uint64_t* bytes) {
    char value[256];
    return find_key_value(root, "/proc/meminfo", "MemTotal", value, sizeof value) && parse_meminfo_bytes(value, bytes);
}

SysfsCache linux_sysfs_cache(const char* root, CacheSlot slot, uint64_t* bytes) {
    static const char kCacheDir[] = "/sys/devices/system/cpu/cpu0/cache";
    std::vector<uint64_t> indices;
    if (!list_numbered(root, kCacheDir, "index", &indices) || indices.empty()) return kSysfsCacheFailed;
    static const int kLevel[] = {1, 1, 2, 3};
    // Ascending, so the lowest matching index wins and the answer does not hang on readdir order.
    for (const uint64_t index : indices) {
        const unsigned long long i = index;
        char path[256], level[64], type[64], size[64];
        std::snprintf(path, sizeof path, "%s/index%llu/level", kCacheDir, i);
        const Read read_level = read_attribute(root, path, level, sizeof level);
        std::snprintf(path, sizeof path, "%s/index%llu/type", kCacheDir, i);
        const Read read_type = read_attribute(root, path, type, sizeof type);
        std::snprintf(path, sizeof path, "%s/index%llu/size", kCacheDir, i);
        const Read read_size = read_attribute(root, path, size, sizeof size);
        if (read_level == kFailed || read_type == kFailed || read_size == kFailed) return kSysfsCacheFailed;
        uint64_t n = 0;
        const bool instruction = std::strcmp(type, "Instruction") == 0;
        if (read_level != kRead || read_type != kRead || !parse_whole_u64(level, &n) ||
            n != static_cast<uint64_t>(kLevel[slot]) || instruction != (slot == kCacheL1Instruction) ||
            !parse_cache_size(size, bytes))
            continue;
        return kSysfsCacheFound;
    }
    return kSysfsCacheAbsent;
}

int linux_cache_bytes(const char* root, CacheSlot slot, uint64_t* bytes) {
    return linux_sysfs_cache(root, slot, bytes) == kSysfsCacheFound;
}

int linux_os_text(const char* root, char* buf, size_t cap) {
    // /etc/os-release, when present, is the whole answer; /usr/lib/os-release only stands in.
    LineReader r;
    Read opened = open_lines(&r, root, "/etc/os-release");
    if (opened == kAbsent) opened = open_lines(&r, root, "/usr/lib/os-release");
    if (opened != kRead) return 0;
    int found = 0;
    while (!found && next_line(&r)) {
        if (!r.cut) found = parse_os_release_line(r.line, buf, cap);
    }
    return close_lines(&r) && found;
}

int linux_cpu_ticks(const char* root, CpuTicks* ticks) {
    LineReader r;
    if (open_lines(&r, root, "/proc/stat") != kRead) return 0;
    const bool ok = next_line(&r) && !r.cut && parse_stat_cpu_line(r.line, ticks);
    return close_lines(&r) && ok;
}

int linux_available_memory_bytes(const char* root, uint64_t* bytes) {
    char value[256];
    return find_key_value(root, "/proc/meminfo", "MemAvailable", value, sizeof value) &&
           parse_meminfo_bytes(value, bytes);
}

int linux_process_count(const char* root, int64_t* count) {
    std::vector<uint64_t> pids;
    if (!list_numbered(root, "/proc", "", &pids)) return 0;
    *count = static_cast<int64_t>(pids.size());
    return 1;
}

int linux_cgroup_cpu_limit(const char* root, int64_t* cpus) {
    // v2's one file, then v1's two joined as "quota period"; a hybrid system may have both.
    static const struct {
        const char* controller;
        const char* files[2];
    } kKinds[] = {{nullptr, {"cpu.max", nullptr}}, {"cpu", {"cpu.cfs_quota_us", "cpu.cfs_period_us"}}};
    int64_t limit = 0;
    for (const auto& kind : kKinds) {
        char folder[kPathMax];
        size_t top = 0;
        if (!cgroup_folder(root, kind.controller, folder, &top)) continue;
        // A parent's quota binds its children too: walk up to the top.
        for (;;) {
            char path[kPathMax + 32], text[128] = {}, period[64] = {};
            std::snprintf(path, sizeof path, "%s/%s", folder, kind.files[0]);
            bool read = read_attribute(root, path, text, sizeof text) == kRead;
            if (read && kind.files[1]) {
                std::snprintf(path, sizeof path, "%s/%s", folder, kind.files[1]);
                read = read_attribute(root, path, period, sizeof period) == kRead;
                std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), " %s", period);
            }
            int64_t n = 0;
            if (read && parse_cpu_quota(text, &n) && (limit == 0 || n < limit)) limit = n;
            // The folder is the mount point plus "/name" parts, so the last '/' lies at or after top.
            if (std::strlen(folder) <= top) break;
            *std::strrchr(folder, '/') = '\0';
        }
    }
    if (limit == 0) return 0;
    *cpus = limit;
    return 1;
}

int64_t linux_usable_processors(const char* root, int64_t online, int64_t affinity) {
    int64_t usable = online >= 1 ? online : 1, quota = 0;
    if (affinity >= 1 && affinity < usable) usable = affinity;
    if (linux_cgroup_cpu_limit(root, &quota) && quota < usable) usable = quota;
    return usable;
}

// Linux's /proc and /sys files behind the probe and the background check.
// Plain file reading, so it builds everywhere; only Linux uses it at run time.
#include "sysenv/linux_files.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kPathMax = 4096;
constexpr size_t kLineMax = 4096;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return is_blank(c) || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

const char* skip_blanks(const char* s) {
    while (is_blank(*s)) ++s;
    return s;
}

bool rest_is_space(const char* s) {
    while (is_space(*s)) ++s;
    return *s == '\0';
}

void strip_trailing_space(char* s) {
    size_t n = std::strlen(s);
    while (n > 0 && is_space(s[n - 1])) s[--n] = '\0';
}

bool join_path(char* out, const char* root, const char* path) {
    const int n = std::snprintf(out, kPathMax, "%s%s", root, path);
    return n > 0 && static_cast<size_t>(n) < kPathMax;
}

// A short attribute file (sysfs style): its first cap - 1 bytes, trailing line end and
// blanks removed. 0 when it cannot be read or holds nothing.
int read_attribute(const char* root, const char* path, char* buf, size_t cap) {
    char full[kPathMax];
    buf[0] = '\0';
    if (!join_path(full, root, path)) return 0;
    FILE* f = std::fopen(full, "r");
    if (!f) return 0;
    const size_t n = std::fread(buf, 1, cap - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    strip_trailing_space(buf);
    return buf[0] != '\0';
}

// Line-by-line reading of a text file. An overlong line comes back cut and flagged,
// with the rest of it skipped, so its tail never poses as a line of its own.
struct LineReader {
    FILE* file;
    char line[kLineMax];
    bool cut;
};

bool open_lines(LineReader* r, const char* root, const char* path) {
    char full[kPathMax];
    r->file = join_path(full, root, path) ? std::fopen(full, "r") : nullptr;
    return r->file != nullptr;
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

void close_lines(LineReader* r) {
    if (r->file) std::fclose(r->file);
    r->file = nullptr;
}

// First whole line of root+path that carries key, its value copied into out.
int find_key_value(const char* root, const char* path, const char* key, char* out, size_t cap) {
    LineReader r;
    if (!open_lines(&r, root, path)) return 0;
    int found = 0;
    while (!found && next_line(&r)) {
        if (r.cut) continue;
        if (const char* value = parse_key_value(r.line, key)) {
            std::snprintf(out, cap, "%s", value);
            found = 1;
        }
    }
    close_lines(&r);
    return found;
}

bool live(const char* root) { return root[0] == '\0'; }

bool checked_add(uint64_t* sum, uint64_t value) {
    if (*sum > UINT64_MAX - value) return false;
    *sum += value;
    return true;
}

bool equals_ignoring_case(const char* a, const char* b) {
    while (*a && lower(*a) == lower(*b)) ++a, ++b;
    return *a == '\0' && *b == '\0';
}

bool is_dmi_placeholder(const char* text) {
    static const char* const placeholders[] = {"To Be Filled By O.E.M.", "To be filled by O.E.M.", "O.E.M.",
                                               "System manufacturer",    "System Product Name",    "Default string",
                                               "Not Specified",          "Not Applicable",         "None"};
    if (text[0] == '\0') return true;
    for (const char* p : placeholders) {
        if (equals_ignoring_case(text, p)) return true;
    }
    return false;
}

}  // namespace

// --- Parsers ---

int parse_u64(const char** text, uint64_t* value) {
    const char* s = *text;
    if (!is_digit(*s)) return 0;
    uint64_t v = 0;
    for (; is_digit(*s); ++s) {
        const uint64_t d = static_cast<uint64_t>(*s - '0');
        if (v > (UINT64_MAX - d) / 10) return 0;
        v = v * 10 + d;
    }
    *value = v;
    *text = s;
    return 1;
}

int parse_cpu_list(const char* text, int64_t* count, int64_t* lowest) {
    // Processor numbers are far below this; the bound keeps the count from overflowing.
    constexpr uint64_t kMaxCpu = 1u << 24;
    const char* s = text;
    int64_t n = 0;
    uint64_t low = UINT64_MAX;
    for (;;) {
        uint64_t first = 0, last = 0;
        if (!parse_u64(&s, &first) || first >= kMaxCpu) return 0;
        last = first;
        if (*s == '-') {
            ++s;
            if (!parse_u64(&s, &last) || last >= kMaxCpu || last < first) return 0;
        }
        n += static_cast<int64_t>(last - first + 1);
        if (first < low) low = first;
        if (*s != ',') break;
        ++s;
    }
    if (!rest_is_space(s)) return 0;
    *count = n;
    *lowest = static_cast<int64_t>(low);
    return 1;
}

int parse_cache_size(const char* text, uint64_t* bytes) {
    const char* s = skip_blanks(text);
    uint64_t v = 0;
    if (!parse_u64(&s, &v)) return 0;
    unsigned shift = 0;
    switch (*s) {
        case 'K': case 'k': shift = 10; ++s; break;
        case 'M': case 'm': shift = 20; ++s; break;
        case 'G': case 'g': shift = 30; ++s; break;
        default: break;
    }
    if (!rest_is_space(s)) return 0;
    if (shift != 0 && v > (UINT64_MAX >> shift)) return 0;
    *bytes = v << shift;
    return 1;
}

const char* parse_key_value(const char* line, const char* key) {
    const size_t n = std::strlen(key);
    if (std::strncmp(line, key, n) != 0) return nullptr;
    const char* s = skip_blanks(line + n);
    if (*s != ':') return nullptr;
    return skip_blanks(s + 1);
}

int parse_meminfo_bytes(const char* value, uint64_t* bytes) {
    const char* s = skip_blanks(value);
    uint64_t kb = 0;
    if (!parse_u64(&s, &kb)) return 0;
    s = skip_blanks(s);
    if (s[0] == 'k' && s[1] == 'B') s += 2;
    if (!rest_is_space(s) || kb > (UINT64_MAX >> 10)) return 0;
    *bytes = kb << 10;
    return 1;
}

int parse_stat_cpu_line(const char* line, CpuTicks* ticks) {
    // user nice system idle iowait irq softirq steal (guest time is already in user and nice)
    constexpr int kFields = 8;
    if (std::strncmp(line, "cpu", 3) != 0 || !is_blank(line[3])) return 0;
    uint64_t field[kFields] = {};
    const char* s = line + 3;
    int got = 0;
    while (got < kFields) {
        s = skip_blanks(s);
        if (!is_digit(*s)) break;
        if (!parse_u64(&s, &field[got])) return 0;
        if (*s != '\0' && !is_space(*s)) return 0;
        ++got;
    }
    if (got < 4 || (got < kFields && !rest_is_space(s))) return 0;
    uint64_t idle = 0, busy = 0;
    const bool ok = checked_add(&idle, field[3]) && checked_add(&idle, field[4]) && checked_add(&busy, field[0]) &&
                    checked_add(&busy, field[1]) && checked_add(&busy, field[2]) && checked_add(&busy, field[5]) &&
                    checked_add(&busy, field[6]) && checked_add(&busy, field[7]) && checked_add(&busy, idle);
    if (!ok) return 0;
    ticks->total = busy;
    ticks->idle = idle;
    return 1;
}

int parse_os_release_line(const char* line, char* out, size_t cap) {
    static const char kKey[] = "PRETTY_NAME=";
    if (std::strncmp(line, kKey, sizeof kKey - 1) != 0) return 0;
    const char* s = line + sizeof kKey - 1;
    const char quote = (*s == '"' || *s == '\'') ? *s : '\0';
    if (quote) ++s;
    size_t n = 0;
    for (; *s != '\0'; ++s) {
        if (quote && *s == quote) break;
        if (*s == '\\' && quote != '\'' && s[1] != '\0') ++s;  // shell-style escape
        if (n + 1 < cap) out[n++] = *s;
    }
    if (cap > 0) out[n < cap ? n : cap - 1] = '\0';
    if (!quote) strip_trailing_space(out);
    return cap > 0 && out[0] != '\0';
}

int compose_dmi_model(const char* vendor, const char* product, char* out, size_t cap) {
    if (is_dmi_placeholder(product)) return 0;
    // The vendor helps unless it is a placeholder or the product name already starts with it.
    size_t first_word = 0;
    while (vendor[first_word] != '\0' && !is_space(vendor[first_word])) ++first_word;
    bool named = is_dmi_placeholder(vendor) || first_word == 0;
    if (!named) {
        named = true;
        for (size_t i = 0; i < first_word; ++i) {
            if (lower(product[i]) != lower(vendor[i])) {
                named = false;
                break;
            }
        }
    }
    if (named)
        std::snprintf(out, cap, "%s", product);
    else
        std::snprintf(out, cap, "%s %s", vendor, product);
    return 1;
}

void core_set_init(CoreSet* set) { std::memset(set, 0, sizeof *set); }

namespace {

void core_set_flush(CoreSet* set) {
    if (set->have_package && set->have_core) {
        bool seen = false;
        for (int i = 0; i < set->count && !seen; ++i)
            seen = set->pairs[i].package == set->package && set->pairs[i].core == set->core;
        if (!seen) {
            if (set->count < CoreSet::kMaxCores)
                set->pairs[set->count++] = {set->package, set->core};
            else
                set->overflow = true;
        }
    }
    set->have_package = set->have_core = false;
}

bool parse_whole_u64(const char* text, uint64_t* value) {
    const char* s = text;
    return parse_u64(&s, value) && rest_is_space(s);
}

}  // namespace

void core_set_line(CoreSet* set, const char* line) {
    const char* value;
    if (parse_key_value(line, "processor")) {
        core_set_flush(set);
    } else if ((value = parse_key_value(line, "physical id"))) {
        set->have_package = parse_whole_u64(value, &set->package);
    } else if ((value = parse_key_value(line, "core id"))) {
        set->have_core = parse_whole_u64(value, &set->core);
    }
}

int core_set_finish(CoreSet* set, int32_t* cores) {
    core_set_flush(set);
    if (set->overflow || set->count == 0) return 0;
    *cores = set->count;
    return 1;
}

// --- Readers ---

long linux_online_processors(const char* root) {
    if (live(root)) return sysconf(_SC_NPROCESSORS_ONLN);
    char text[1024];
    int64_t count = 0, lowest = 0;
    if (!read_attribute(root, "/sys/devices/system/cpu/online", text, sizeof text) ||
        !parse_cpu_list(text, &count, &lowest))
        return -1;
    return static_cast<long>(count);
}

int linux_processor_name(const char* root, char* buf, size_t cap) {
    if (!find_key_value(root, "/proc/cpuinfo", "model name", buf, cap)) return 0;
    strip_trailing_space(buf);
    return 1;
}

int linux_model(const char* root, char* buf, size_t cap) {
    char product[256], vendor[256];
    if (!read_attribute(root, "/sys/devices/virtual/dmi/id/product_name", product, sizeof product)) return 0;
    read_attribute(root, "/sys/devices/virtual/dmi/id/sys_vendor", vendor, sizeof vendor);
    return compose_dmi_model(vendor, product, buf, cap);
}

namespace {

// Cores from the sysfs topology: each is counted at its lowest-numbered online thread.
// 0 when the folder is missing or any online processor lacks a readable sibling list.
int sysfs_core_count(const char* root, int32_t* cores) {
    char dir_path[kPathMax];
    if (!join_path(dir_path, root, "/sys/devices/system/cpu")) return 0;
    DIR* dir = opendir(dir_path);
    if (!dir) return 0;
    int32_t counted = 0;
    bool usable = true;
    while (const dirent* e = readdir(dir)) {
        uint64_t cpu = 0;
        if (std::strncmp(e->d_name, "cpu", 3) != 0 || !parse_whole_u64(e->d_name + 3, &cpu) || cpu >= (1u << 24))
            continue;
        const unsigned n = static_cast<unsigned>(cpu);
        char path[256], text[1024];
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%u/online", n);
        if (read_attribute(root, path, text, sizeof text) && std::strcmp(text, "0") == 0) continue;
        // core_cpus_list is the newer name of thread_siblings_list.
        std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%u/topology/core_cpus_list", n);
        bool read = read_attribute(root, path, text, sizeof text);
        if (!read) {
            std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%u/topology/thread_siblings_list", n);
            read = read_attribute(root, path, text, sizeof text);
        }
        int64_t count = 0, lowest = 0;
        if (!read || !parse_cpu_list(text, &count, &lowest)) {
            usable = false;
            break;
        }
        if (static_cast<uint64_t>(lowest) == cpu) ++counted;
    }
    closedir(dir);
    if (!usable || counted == 0) return 0;
    *cores = counted;
    return 1;
}

}  // namespace

int linux_physical_cores(const char* root, int32_t* cores) {
    if (sysfs_core_count(root, cores)) return 1;
    LineReader r;
    if (!open_lines(&r, root, "/proc/cpuinfo")) return 0;
    CoreSet set;
    core_set_init(&set);
    while (next_line(&r)) {
        if (!r.cut) core_set_line(&set, r.line);
    }
    close_lines(&r);
    return core_set_finish(&set, cores);
}

int linux_memory_bytes(const char* root, uint64_t* bytes) {
    char value[256];
    if (find_key_value(root, "/proc/meminfo", "MemTotal", value, sizeof value) && parse_meminfo_bytes(value, bytes))
        return 1;
    if (!live(root)) return 0;
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    *bytes = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
    return 1;
}

SysfsCache linux_sysfs_cache(const char* root, CacheSlot slot, uint64_t* bytes) {
    static const char kCacheDir[] = "/sys/devices/system/cpu/cpu0/cache";
    char dir_path[kPathMax];
    if (!join_path(dir_path, root, kCacheDir)) return kSysfsCacheNoFolder;
    DIR* dir = opendir(dir_path);
    if (!dir) return kSysfsCacheNoFolder;
    bool any_index = false;
    SysfsCache result = kSysfsCacheAbsent;
    // readdir order is arbitrary; the lowest matching index wins so the answer is stable.
    uint64_t best_index = UINT64_MAX;
    while (const dirent* e = readdir(dir)) {
        uint64_t index = 0;
        if (std::strncmp(e->d_name, "index", 5) != 0 || !parse_whole_u64(e->d_name + 5, &index)) continue;
        any_index = true;
        if (index >= best_index) continue;
        char path[256], text[256];
        uint64_t level = 0, size = 0;
        std::snprintf(path, sizeof path, "%s/index%llu/level", kCacheDir, static_cast<unsigned long long>(index));
        if (!read_attribute(root, path, text, sizeof text) || !parse_whole_u64(text, &level)) continue;
        std::snprintf(path, sizeof path, "%s/index%llu/type", kCacheDir, static_cast<unsigned long long>(index));
        if (!read_attribute(root, path, text, sizeof text)) continue;
        bool match = false;
        switch (slot) {
            case kCacheL1Data: match = level == 1 && std::strcmp(text, "Instruction") != 0; break;
            case kCacheL1Instruction: match = level == 1 && std::strcmp(text, "Instruction") == 0; break;
            case kCacheL2: match = level == 2 && std::strcmp(text, "Instruction") != 0; break;
            case kCacheL3: match = level == 3 && std::strcmp(text, "Instruction") != 0; break;
        }
        if (!match) continue;
        std::snprintf(path, sizeof path, "%s/index%llu/size", kCacheDir, static_cast<unsigned long long>(index));
        if (!read_attribute(root, path, text, sizeof text) || !parse_cache_size(text, &size)) continue;
        best_index = index;
        *bytes = size;
        result = kSysfsCacheFound;
    }
    closedir(dir);
    return any_index ? result : kSysfsCacheNoFolder;
}

int linux_cache_bytes(const char* root, CacheSlot slot, uint64_t* bytes) {
    const SysfsCache found = linux_sysfs_cache(root, slot, bytes);
    if (found != kSysfsCacheNoFolder || !live(root)) return found == kSysfsCacheFound;
    // No cache entries in sysfs (common in VMs): the C library's figures stand in.
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

int linux_os_text(const char* root, char* buf, size_t cap) {
    // /etc/os-release, when present, is the whole answer; /usr/lib/os-release only stands in.
    LineReader r;
    if (!open_lines(&r, root, "/etc/os-release") && !open_lines(&r, root, "/usr/lib/os-release")) return 0;
    int found = 0;
    while (!found && next_line(&r)) {
        if (!r.cut) found = parse_os_release_line(r.line, buf, cap);
    }
    close_lines(&r);
    return found;
}

int linux_cpu_ticks(const char* root, CpuTicks* ticks) {
    LineReader r;
    if (!open_lines(&r, root, "/proc/stat")) return 0;
    const int ok = next_line(&r) && !r.cut && parse_stat_cpu_line(r.line, ticks);
    close_lines(&r);
    return ok;
}

int linux_available_memory_bytes(const char* root, uint64_t* bytes) {
    char value[256];
    return find_key_value(root, "/proc/meminfo", "MemAvailable", value, sizeof value) &&
           parse_meminfo_bytes(value, bytes);
}

int linux_process_count(const char* root, int64_t* count) {
    char dir_path[kPathMax];
    if (!join_path(dir_path, root, "/proc")) return 0;
    DIR* dir = opendir(dir_path);
    if (!dir) return 0;
    int64_t n = 0;
    while (const dirent* e = readdir(dir)) {
        const char* s = e->d_name;
        while (is_digit(*s)) ++s;
        if (s != e->d_name && *s == '\0') ++n;
    }
    closedir(dir);
    *count = n;
    return 1;
}

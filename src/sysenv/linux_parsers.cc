// The pure parsers behind the Linux readers: text in, figures out, no files.
#include <cstdio>
#include <cstring>

#include "sysenv/linux_files.h"

namespace {

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

void trim_trailing_space(char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && is_space(text[n - 1])) text[--n] = '\0';
}

int parse_whole_u64(const char* text, uint64_t* value) {
    const char* s = text;
    return parse_u64(&s, value) && rest_is_space(s);
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
    if (!quote && cap > 0) trim_trailing_space(out);
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


// --- cgroup files ---

namespace {

// Processor numbers are far below this; a quota worth more is no limit at all.
constexpr uint64_t kMaxCpus = 1u << 24;

// Whether the comma-separated list of len bytes holds item as one of its elements.
bool list_has(const char* list, size_t len, const char* item) {
    const size_t n = std::strlen(item);
    for (const char *p = list, *end = list + len; p < end;) {
        const char* comma = p;
        while (comma < end && *comma != ',') ++comma;
        if (static_cast<size_t>(comma - p) == n && std::strncmp(p, item, n) == 0) return true;
        p = comma + 1;
    }
    return false;
}

// The next blank-separated field of a mountinfo line; false at the end or on an empty field.
bool take_field(const char** s, const char** start, size_t* len) {
    const char* end = *s;
    while (*end != '\0' && *end != ' ') ++end;
    *start = *s;
    *len = static_cast<size_t>(end - *s);
    *s = *end != '\0' ? end + 1 : end;
    return *len > 0;
}

// A mountinfo path with its octal escapes ("\040" for a blank) decoded into out.
bool decode_path(const char* text, size_t len, char* out, size_t cap) {
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c == '\\' && len - i > 3) {
            const char* d = text + i + 1;
            if (d[0] >= '0' && d[0] <= '3' && d[1] >= '0' && d[1] <= '7' && d[2] >= '0' && d[2] <= '7') {
                c = static_cast<char>((d[0] - '0') * 64 + (d[1] - '0') * 8 + (d[2] - '0'));
                i += 3;
            }
        }
        if (c == '\0' || n + 1 >= cap) return false;
        out[n++] = c;
    }
    out[n] = '\0';
    return n > 0;
}

}  // namespace

int parse_cpu_quota(const char* text, int64_t* cpus) {
    const char* s = skip_blanks(text);
    uint64_t quota = 0, period = 0;
    if (!parse_u64(&s, &quota) || !is_blank(*s)) return 0;  // also "max" and v1's "-1"
    s = skip_blanks(s);
    if (!parse_u64(&s, &period) || !rest_is_space(s) || quota == 0 || period == 0) return 0;
    const uint64_t n = quota / period + (quota % period != 0 ? 1 : 0);
    if (n >= kMaxCpus) return 0;
    *cpus = static_cast<int64_t>(n);
    return 1;
}

const char* parse_cgroup_line(const char* line, const char* controller) {
    const char* s = line;
    uint64_t hierarchy = 0;
    if (!parse_u64(&s, &hierarchy) || *s != ':') return nullptr;
    const char* list = s + 1;
    const char* colon = std::strchr(list, ':');
    if (!colon || colon[1] != '/') return nullptr;
    const size_t len = static_cast<size_t>(colon - list);
    const bool match = controller ? list_has(list, len, controller) : hierarchy == 0 && len == 0;
    return match ? colon + 1 : nullptr;
}

int parse_cgroup_mount(const char* line, const char* controller, char* root, size_t root_cap, char* point,
                       size_t point_cap) {
    // "id parent major:minor root point options [optional fields] - type source super-options"
    const char *s = line, *field = nullptr, *mount_root = nullptr, *mount_point = nullptr;
    size_t len = 0, root_len = 0, point_len = 0;
    for (int i = 0; i < 3; ++i) {
        if (!take_field(&s, &field, &len)) return 0;
    }
    if (!take_field(&s, &mount_root, &root_len) || !take_field(&s, &mount_point, &point_len) ||
        !take_field(&s, &field, &len))
        return 0;
    do {
        if (!take_field(&s, &field, &len)) return 0;
    } while (len != 1 || field[0] != '-');
    const char *type = nullptr, *options = nullptr;
    size_t type_len = 0, options_len = 0;
    if (!take_field(&s, &type, &type_len) || !take_field(&s, &field, &len) ||
        !take_field(&s, &options, &options_len))
        return 0;
    const bool match = controller ? type_len == 6 && std::strncmp(type, "cgroup", 6) == 0 &&
                                        list_has(options, options_len, controller)
                                  : type_len == 7 && std::strncmp(type, "cgroup2", 7) == 0;
    return match && decode_path(mount_root, root_len, root, root_cap) &&
           decode_path(mount_point, point_len, point, point_cap);
}

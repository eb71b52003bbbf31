// The fuzz targets, one function each, compiled once; entry.cc makes each a
// fuzz binary of its own. Pieces of an input are separated by NUL bytes.
#include "fuzz_input.h"
#include "submit/submit.h"
#include "sysenv/linux_files.h"

using Bytes = std::string;
namespace fuzz {

const char* const kCache = "/sys/devices/system/cpu/cpu0/cache/index0/";

// The results service's reply: the outcome is whole lines, each link within its buffer.
int reply(const Bytes& in) {
    const size_t size = std::min(in.size(), kReplyCapacity - 1);  // the client never holds more
    const CString text(in.data(), size);
    char* out_text = nullptr;
    size_t out_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    static FILE* err = std::fopen("/dev/null", "w");
    report_reply(text.get(), size, out, err);
    std::fclose(out);
    FUZZ_CHECK(out_size == 0 || out_text[out_size - 1] == '\n');
    for (const Bytes& line : split_lines(Bytes(out_text, out_size))) FUZZ_CHECK(line.size() < 64 + kLinkCapacity);
    std::free(out_text);
    return 0;
}

// json_string_field: a key, then the body it is looked up in.
int json_field(const Bytes& in) {
    const std::vector<Bytes> pieces = split_at_nul(in, 2);
    const CString key(pieces.size() > 1 ? pieces[0] : "result_url"), body(pieces.back());
    OutBuffer out(kLinkCapacity);
    const int found = json_string_field(body.get(), key.get(), out.get());
    FUZZ_CHECK(out.terminated() && (found == 0 || out.get()[0] != '\0'));
    return 0;
}

// /proc/cpuinfo: the processor name and the physical core count. With no
// sysfs topology in the tree, the core count comes from the file.
int cpuinfo(const Bytes& in) {
    CoreSet set;
    core_set_init(&set);
    for (const Bytes& line : split_lines(in)) {
        const CString text(line);
        core_set_line(&set, text.get());
        parse_key_value(text.get(), "model name");
    }
    int32_t cores = 0;
    if (core_set_finish(&set, &cores)) FUZZ_CHECK(cores >= 1 && cores <= CoreSet::kMaxCores);
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write("/proc/cpuinfo", in);
    for (size_t cap : {size_t{1}, in.size() % 16 + 1, size_t{256}}) {
        OutBuffer name(cap);
        if (linux_processor_name(tree->root.c_str(), name.get(), cap)) FUZZ_CHECK(name.terminated());
    }
    if (linux_physical_cores(tree->root.c_str(), &cores)) FUZZ_CHECK(cores >= 1 && cores <= CoreSet::kMaxCores);
    return 0;
}

// /proc/meminfo: total and available memory.
int meminfo(const Bytes& in) {
    uint64_t bytes = 0;
    for (const Bytes& line : split_lines(in)) {
        const CString text(line);
        for (const char* key : {"MemTotal", "MemAvailable"})
            if (const char* value = parse_key_value(text.get(), key)) {
                FUZZ_CHECK(value >= text.get() && value <= text.get() + line.size());
                if (parse_meminfo_bytes(value, &bytes)) FUZZ_CHECK(bytes % 1024 == 0);
            }
    }
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write("/proc/meminfo", in);
    linux_memory_bytes(tree->root.c_str(), &bytes);
    linux_available_memory_bytes(tree->root.c_str(), &bytes);
    return 0;
}

// /proc/stat: the first line's CPU time counters.
int stat(const Bytes& in) {
    const CString text(in);
    CpuTicks ticks = {};
    if (parse_stat_cpu_line(text.get(), &ticks)) FUZZ_CHECK(ticks.idle <= ticks.total);
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write("/proc/stat", in);
    if (linux_cpu_ticks(tree->root.c_str(), &ticks)) FUZZ_CHECK(ticks.idle <= ticks.total);
    return 0;
}

// os-release: the PRETTY_NAME line, in /etc or in /usr/lib (/etc wins when
// both exist), with a small capacity that varies with the input and a roomy one.
int os_release(const Bytes& in) {
    const size_t caps[] = {in.size() % 8 + 1, 256};
    for (const Bytes& line : split_lines(in)) {
        const CString text(line);
        for (size_t cap : caps) {
            OutBuffer out(cap);
            if (parse_os_release_line(text.get(), out.get(), cap)) FUZZ_CHECK(out.get()[0] != '\0');
            FUZZ_CHECK(out.terminated() || line.rfind("PRETTY_NAME=", 0) != 0);
        }
    }
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write(in.size() % 2 == 0 ? "/etc/os-release" : "/usr/lib/os-release", in);
    for (size_t cap : caps) {
        OutBuffer out(cap);
        if (linux_os_text(tree->root.c_str(), out.get(), cap)) FUZZ_CHECK(out.terminated() && out.get()[0] != '\0');
    }
    return 0;
}

// sysfs processor lists ("0-3,8"): the online processors and the thread
// siblings from which the physical cores are counted.
int cpu_list(const Bytes& in) {
    const CString text(in);
    int64_t count = 0, lowest = 0;
    if (parse_cpu_list(text.get(), &count, &lowest)) FUZZ_CHECK(count >= 1 && lowest >= 0);
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write("/sys/devices/system/cpu/online", in);
    tree->write("/sys/devices/system/cpu/cpu0/topology/core_cpus_list", in);
    const long online = linux_online_processors(tree->root.c_str());
    FUZZ_CHECK(online == -1 || online >= 1);
    int32_t cores = 0;
    if (linux_physical_cores(tree->root.c_str(), &cores)) FUZZ_CHECK(cores == 1);
    return 0;
}

// sysfs cache entries: size ("32K"), level and type.
int cache_size(const Bytes& in) {
    const std::vector<Bytes> p = split_at_nul(in, 3);
    uint64_t bytes = 0;
    parse_cache_size(CString(p[0]).get(), &bytes);
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write((Bytes(kCache) + "size").c_str(), p[0]);
    tree->write((Bytes(kCache) + "level").c_str(), p.size() > 1 ? p[1] : "1");
    tree->write((Bytes(kCache) + "type").c_str(), p.size() > 2 ? p[2] : "Data");
    for (CacheSlot slot : {kCacheL1Data, kCacheL1Instruction, kCacheL2, kCacheL3}) {
        linux_cache_bytes(tree->root.c_str(), slot, &bytes);
        linux_sysfs_cache(tree->root.c_str(), slot, &bytes);
    }
    return 0;
}

// DMI vendor and product names: the model text.
int dmi_model(const Bytes& in) {
    const std::vector<Bytes> p = split_at_nul(in, 2);
    const Bytes product = p.size() > 1 ? p[1] : "";
    for (size_t cap : {size_t{0}, in.size() % 16 + 1, size_t{256}}) {
        OutBuffer out(cap);
        if (compose_dmi_model(CString(p[0]).get(), CString(product).get(), out.get(), cap))
            FUZZ_CHECK(out.terminated());
    }
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write("/sys/devices/virtual/dmi/id/sys_vendor", p[0]);
    tree->write("/sys/devices/virtual/dmi/id/product_name", product);
    for (size_t cap : {in.size() % 16 + 1, size_t{256}}) {
        OutBuffer out(cap);
        if (linux_model(tree->root.c_str(), out.get(), cap)) FUZZ_CHECK(out.terminated());
    }
    return 0;
}

// cgroup CPU quotas: /proc/self/cgroup, /proc/self/mountinfo and a quota
// file (cpu.max, or cpu.cfs_quota_us).
int cgroup(const Bytes& in) {
    std::vector<Bytes> p = split_at_nul(in, 3);
    p.resize(3);
    for (const char* controller : {static_cast<const char*>(nullptr), "cpu"}) {
        for (const Bytes& line : split_lines(p[0])) {
            const CString text(line);
            if (const char* path = parse_cgroup_line(text.get(), controller))
                FUZZ_CHECK(path >= text.get() && path <= text.get() + line.size());
        }
        for (const Bytes& line : split_lines(p[1])) {
            const CString text(line);
            for (size_t cap : {in.size() % 16 + 1, size_t{4096}}) {
                OutBuffer mount_root(cap), point(cap);
                if (parse_cgroup_mount(text.get(), controller, mount_root.get(), cap, point.get(), cap))
                    FUZZ_CHECK(mount_root.terminated() && point.terminated());
            }
        }
    }
    int64_t cpus = 0;
    if (parse_cpu_quota(CString(p[2]).get(), &cpus)) FUZZ_CHECK(cpus >= 0);
    const FileTree* tree = fuzz_files();
    if (tree == nullptr) return 0;
    tree->write("/proc/self/cgroup", p[0]);
    tree->write("/proc/self/mountinfo", p[1]);
    tree->write("/sys/fs/cgroup/cpu.max", p[2]);
    tree->write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", p[2]);
    tree->write("/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
    if (linux_cgroup_cpu_limit(tree->root.c_str(), &cpus)) FUZZ_CHECK(cpus >= 0);
    const int64_t usable = linux_usable_processors(tree->root.c_str(), 8, 4);
    FUZZ_CHECK(usable >= 1 && usable <= 4);
    return 0;
}

}  // namespace fuzz

// What entry.cc calls: each target on plain bytes.
#define QM_FUZZ_WRAPPER(name) \
    int fuzz_bytes_##name(const uint8_t* data, size_t size) { return fuzz::name(Bytes(reinterpret_cast<const char*>(data), size)); }
QM_FUZZ_WRAPPER(reply)
QM_FUZZ_WRAPPER(json_field)
QM_FUZZ_WRAPPER(cpuinfo)
QM_FUZZ_WRAPPER(meminfo)
QM_FUZZ_WRAPPER(stat)
QM_FUZZ_WRAPPER(os_release)
QM_FUZZ_WRAPPER(cpu_list)
QM_FUZZ_WRAPPER(cache_size)
QM_FUZZ_WRAPPER(dmi_model)
QM_FUZZ_WRAPPER(cgroup)

// The system readers: the Linux file parsers on good, odd and hostile input
// (the fuzz targets feed them random bytes; these pin the answers), the
// probe's steps over fake platform answers, the Linux readers over fixture
// machines and scratch trees, and the background check over scripted tick
// counters.
#include <gtest/gtest.h>

#include <cstring>

#include "sysenv/sysenv_seams.h"
#include "tree_util.h"

namespace {

// Each parser's answer as text, "fail" when it refuses the input. Inputs "a|b" carry two texts.
template <int (*Parse)(const char*, uint64_t*)>
std::string number(const char* t) {
    uint64_t v = 0;
    return Parse(t, &v) ? std::to_string(v) : "fail";
}
constexpr auto cache_size = number<parse_cache_size>, meminfo = number<parse_meminfo_bytes>;
std::string cpu_list(const char* t) {
    int64_t count = 0, lowest = 0;
    return parse_cpu_list(t, &count, &lowest) ? std::to_string(count) + " from " + std::to_string(lowest) : "fail";
}
std::string stat_line(const char* t) {
    CpuTicks c{};
    return parse_stat_cpu_line(t, &c) ? std::to_string(c.total) + " idle " + std::to_string(c.idle) : "fail";
}
std::string os_release(const char* t) {
    char out[8];  // small, so that cutting shows
    return parse_os_release_line(t, out, sizeof out) ? out : "fail";
}
std::string quota(const char* t) {
    int64_t cpus = 0;
    return parse_cpu_quota(t, &cpus) ? std::to_string(cpus) : "none";
}
std::string two(const char* t, std::string (*parse)(const char* a, const char* b)) {
    const std::string s = t, a = s.substr(0, s.find('|')), b = s.substr(s.find('|') + 1);
    return parse(a.c_str(), b.c_str());
}
std::string dmi(const char* t) {  // "vendor|product"
    return two(t, [](const char* vendor, const char* product) -> std::string {
        char out[256];
        return compose_dmi_model(vendor, product, out, sizeof out) ? out : "fail";
    });
}
std::string cgroup(const char* t) {  // "controller|line", no controller for v2
    return two(t, [](const char* controller, const char* line) -> std::string {
        const char* path = parse_cgroup_line(line, *controller ? controller : nullptr);
        return path ? path : "fail";
    });
}
std::string mount(const char* t) {  // "controller|line"
    return two(t, [](const char* controller, const char* line) -> std::string {
        char root[64], point[16];
        return parse_cgroup_mount(line, *controller ? controller : nullptr, root, sizeof root, point, sizeof point)
                   ? std::string(root) + " at " + point
                   : "fail";
    });
}

TEST(Parsers, GoodAndBadInput) {
    const struct {
        std::string (*parse)(const char*);
        const char* input;
        const char* expected;
    } cases[] = {
        {cpu_list, "0-3,8,10-11\n", "7 from 0"}, {cpu_list, "12,4-5", "3 from 4"}, {cpu_list, "3-1", "fail"},
        {cpu_list, "1,,2", "fail"}, {cpu_list, "0-3 x", "fail"}, {cpu_list, "0-4294967295", "fail"},
        {cpu_list, "99999999999999999999", "fail"}, {cpu_list, "", "fail"},
        {cache_size, "1024K\n", "1048576"}, {cache_size, "1M", "1048576"}, {cache_size, "4096", "4096"},
        {cache_size, "32KB", "fail"}, {cache_size, "1.5M", "fail"}, {cache_size, "17179869184G", "fail"},
        {meminfo, "24376364 kB", "24961396736"}, {meminfo, "18446744073709551615 kB", "fail"},
        {stat_line, "cpu  4950 1 7584 7239906 124 0 274 3 9 9", "7252842 idle 7240030"},  // guest time not twice
        {stat_line, "cpu 1 2 3 4", "10 idle 4"},                                         // old kernels
        {stat_line, "cpu 5000000000 0 0 7000000000", "12000000000 idle 7000000000"},
        {stat_line, "cpu  1 2 3", "fail"}, {stat_line, "cpu0 1 2 3 4", "fail"}, {stat_line, "cpu 1 2 3 4 zz", "fail"},
        {stat_line, "cpu 18446744073709551615 1 0 0", "fail"}, {stat_line, "cpu 1 2 3 18446744073709551615", "fail"},
        {os_release, "PRETTY_NAME='Arch'", "Arch"}, {os_release, "PRETTY_NAME=Gentoo  ", "Gentoo"},
        {os_release, "PRETTY_NAME=\"\\\"a\\\" \\\\ b\"", "\"a\" \\ b"}, {os_release, "PRETTY_NAME=\"Debian 12\"", "Debian "},
        {os_release, "PRETTY_NAME=\"\"", "fail"}, {os_release, "NAME=\"Debian\"", "fail"},
        {dmi, "LENOVO|20XW0055GE", "LENOVO 20XW0055GE"},
        {dmi, "HP|HP EliteBook 840 G8", "HP EliteBook 840 G8"},  // the product names its maker
        {dmi, "System manufacturer|ROG STRIX B550-F", "ROG STRIX B550-F"},
        {dmi, "ASUS|System Product Name", "fail"}, {dmi, "|to be filled by o.e.m.", "fail"},
        {quota, "150000 100000\n", "2"}, {quota, "100000 100000", "1"}, {quota, "5000 100000", "1"},
        {quota, "max 100000", "none"}, {quota, "-1 100000", "none"}, {quota, "0 100000", "none"},
        {quota, "100000 0", "none"}, {quota, "100000", "none"}, {quota, "1e5 100000", "none"},
        {quota, "18446744073709551615 1", "none"},
        {cgroup, "|0::/user.slice/a b", "/user.slice/a b"}, {cgroup, "cpu|4:cpu,cpuacct:/box", "/box"},
        {cgroup, "cpu|4:cpuacct,cpu:/", "/"}, {cgroup, "cpu|4:cpuacct:/box", "fail"}, {cgroup, "|1:cpu:/", "fail"},
        {cgroup, "|0::", "fail"}, {cgroup, "|0:/", "fail"},
        {mount, "|41 31 0:38 /box /sys/fs/cg rw,relatime shared:9 - cgroup2 cgroup2 rw", "/box at /sys/fs/cg"},
        {mount, "cpu|32 31 0:29 / /mnt/a\\040b rw - cgroup cgroup rw,cpuacct,cpu", "/ at /mnt/a b"},
        {mount, "cpu|33 31 0:30 / /cg rw - cgroup cgroup rw,cpuacct", "fail"},
        {mount, "|41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw", "fail"},  // does not fit
        {mount, "|41 31 0:38 / /cg rw - tmpfs tmpfs rw", "fail"}, {mount, "|41 31 0:38 / /cg rw", "fail"},
        {mount, "|41 31 0:38 / /c\\000 rw - cgroup2 c rw", "fail"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.parse(c.input), c.expected) << c.input;
    // No room at all: nothing is written, not even the trim of an unquoted name.
    char none[1] = {'#'};
    EXPECT_EQ(parse_os_release_line("PRETTY_NAME=x  ", none, 0), 0);
    EXPECT_EQ(none[0], '#');
}

// What the fake platform answers. A null text or a false flag is a failed query;
// failing readers still write their value, so a probe that trusts a failed answer
// shows. A text too long for its buffer fills it unterminated and fails, as sysctl does.
struct Fake {
    long online = 8;
    const char *brand = "i9", *model = "MBP", *sysname = "Darwin";
    bool family_ok = false, cores_ok = true, memory_ok = true;
    uint32_t family = 0x1B588BB3u;  // Apple M1
    int32_t cores = 4;
    uint64_t memory = 16ull << 30;
    bool cache_ok[4] = {true, true, true, true};
    uint64_t cache[4] = {32768, 32768, 262144, 16777216};
};
Fake g;

int text(const char* t, char* buf, size_t cap) {
    if (!t) return 0;
    const size_t n = std::strlen(t);
    std::memcpy(buf, t, n < cap ? n + 1 : cap);
    return n < cap;
}

SystemInfo probe_fake(const Fake& fake) {
    g = fake;
    const ProbeReaders readers = {
        "",
        "macOS",
        [](const char*) { return g.online; },
        [](const char*, char* b, size_t cap) { return text(g.brand, b, cap); },
        [](const char*, uint32_t* f) { *f = g.family; return int{g.family_ok}; },
        [](const char*, char* b, size_t cap) { return text(g.model, b, cap); },
        [](const char*, int32_t* c) { *c = g.cores; return int{g.cores_ok}; },
        [](const char*, uint64_t* b) { *b = g.memory; return int{g.memory_ok}; },
        [](const char*, CacheSlot s, uint64_t* b) { *b = g.cache[s]; return int{g.cache_ok[s]}; },
        [](const char*, char* b, size_t cap) { return text("macOS 14", b, cap); },
        [](char* s, size_t sc, char* r, size_t rc) -> int { return text(g.sysname, s, sc) && text("23", r, rc); },
    };
    SystemInfo info;
    std::memset(&info, 0x5A, sizeof info);  // the probe must not rely on a cleared record
    probe_with(&readers, &info);
    return info;
}

TEST(Probe, FakeReadings) {
    const std::string long_model(300, 'm'), arch = architecture_name();
    const struct {
        void (*edit)(Fake&);
        std::string expected;  // cpu|model|operating system|kernel|threads|cores|memory MB|L1|L2|L3 KB
    } cases[] = {
        {[](Fake&) {}, "i9|MBP|macOS 14|Darwin 23|8|4|16384|64|256|16384"},
        {[](Fake& f) { f.brand = f.model = nullptr, f.family_ok = true, f.family = 7; },  // unknown family
         arch + "|" + arch + "|macOS 14|Darwin 23|8|4|16384|64|256|16384"},
        {[](Fake& f) { f.brand = "", f.family_ok = true; }, "Apple M1|MBP|macOS 14|Darwin 23|8|4|16384|64|256|16384"},
        {[](Fake& f) { f.cache_ok[1] = f.cache_ok[2] = f.cache_ok[3] = false; },  // L1 data only
         "i9|MBP|macOS 14|Darwin 23|8|4|16384|32|32|32"},
        {[](Fake& f) { f.cache_ok[0] = f.cache_ok[1] = f.cache_ok[2] = f.cache_ok[3] = false; },
         "i9|MBP|macOS 14|Darwin 23|8|4|16384|1|1|1"},
        {[](Fake& f) { f.memory_ok = false; }, "i9|MBP|macOS 14|Darwin 23|8|4|1|64|256|16384"},
        {[](Fake& f) { f.online = 0, f.cores_ok = false; }, "i9|MBP|macOS 14|Darwin 23|1|1|16384|64|256|16384"},
        {[](Fake& f) { f.online = -1, f.cores_ok = false; }, "i9|MBP|macOS 14|Darwin 23|1|1|16384|64|256|16384"},
        {[](Fake& f) { f.online = 1, f.cores = 6; }, "i9|MBP|macOS 14|Darwin 23|1|6|16384|64|256|16384"},
        {[](Fake& f) { f.sysname = nullptr; }, "i9|MBP|macOS 14|macOS 14|8|4|16384|64|256|16384"},  // uname fails
    };
    for (const auto& c : cases) {
        Fake f;
        c.edit(f);
        EXPECT_EQ(describe(probe_fake(f)), c.expected);
    }
    Fake f;  // an overlong model: cut to the field, never unterminated
    f.model = long_model.c_str();
    EXPECT_EQ(std::string(probe_fake(f).model), std::string(255, 'm'));
}

// A Linux tree as one line: the probed record, the usable processors (affinity: all
// of them) and the background check's readings.
std::string linux_machine(const char* root) {
    const ProbeReaders readers = linux_tree_readers(root);
    SystemInfo info;
    probe_with(&readers, &info);
    CpuTicks t{};
    uint64_t bytes = 0;
    int64_t n = 0;
    const bool ok = linux_cpu_ticks(root, &t) && linux_available_memory_bytes(root, &bytes) &&
                    linux_process_count(root, &n);
    return describe(info) + "|usable " + std::to_string(linux_usable_processors(root, info.cpu_threads, 0)) + "|" +
           (ok ? std::to_string(t.total) + "/" + std::to_string(t.idle) + " ticks, " + std::to_string(bytes >> 20) +
                     " MB, " + std::to_string(n) + " processes"
               : "no background figures");
}

TEST(Probe, LinuxFixtureMachines) {
    const std::string arch = architecture_name();
    const std::pair<const char*, std::string> cases[] = {
        // A Docker container on cgroup v1 with a quota of four processors.
        {"server2s", "Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz|Dell Inc. PowerEdge R640|Ubuntu 20.04.6 LTS|"
                     "Linux 6.1.0|32|16|192939|64|1024|11264|usable 4|60377929/46845166 ticks, 175902 MB, 5 processes"},
        // No DMI: the model is the processor; no L3: the L2 figure stands in; no cgroup files; no guest ticks.
        {"vm-nodmi", "Intel Xeon Processor (Icelake)|Intel Xeon Processor (Icelake)|Debian GNU/Linux 10 (buster)|"
                     "Linux 6.1.0|4|4|7961|80|4096|4096|usable 4|9158308/9025585 ticks, 7217 MB, 4 processes"},
        // cgroup v2: a user slice two levels up caps the terminal's scope at eight.
        {"laptop-hybrid", "12th Gen Intel(R) Core(TM) i7-1260P|Framework Laptop (12th Gen Intel Core)|"
                          "Fedora Linux 39 (Workstation Edition)|Linux 6.1.0|15|11|31718|80|1280|18432|usable 8|"
                          "34029211/30159457 ticks, 23548 MB, 7 processes"},
        // arm64: the processor from its identifiers, big.LITTLE's two kinds in order of first
        // sight; a board's model from the device tree, a cloud machine's from DMI.
        {"rockpro64", "Arm Cortex-A53 + Arm Cortex-A72|Pine64 RockPro64 v2.1|Armbian 23.8.1 bookworm|Linux 6.1.0|"
                      "6|6|3854|64|512|512|usable 6|4193751/4121244 ticks, 3029 MB, 3 processes"},
        {"graviton3", "Arm Neoverse V1|Amazon EC2 c7g.xlarge|Amazon Linux 2023|Linux 6.1.0|4|4|7664|128|1024|32768|"
                      "usable 4|8830131/8800441 ticks, 7035 MB, 4 processes"},
        {"none-such", arch + "|" + arch + "|Linux|Linux 6.1.0|1|1|1|1|1|1|usable 1|no background figures"},
    };
    for (const auto& [machine, expected] : cases) EXPECT_EQ(linux_machine(fixture_root(machine).c_str()), expected);
}

// A reader's answer over a tree as text, "fail" when it fails.
template <int (*Read)(const char*, char*, size_t)>
std::string text_of(const char* root) {
    char b[256];
    return Read(root, b, sizeof b) ? b : "fail";
}
std::string cores(const char* root) {
    int32_t n = 0;
    return linux_physical_cores(root, &n) ? std::to_string(n) : "fail";
}
std::string caches(const char* root) {  // L1d L1i L2 L3 in KB
    std::string s;
    for (CacheSlot slot : {kCacheL1Data, kCacheL1Instruction, kCacheL2, kCacheL3}) {
        uint64_t b = 0;
        const SysfsCache r = linux_sysfs_cache(root, slot, &b);
        s += (r == kSysfsCacheFound ? std::to_string(b >> 10) : r == kSysfsCacheAbsent ? "-" : "failed") + " ";
    }
    return s;
}

TEST(Probe, LinuxOddFiles) {
    const std::string long_product = std::string(300, 'p') + "\n",
                      cpuinfo = "model name\t: " + std::string(5000, 'x') + "\nmodel name\t: " + std::string(300, 'c'),
                      index = "/sys/devices/system/cpu/cpu0/cache/index", cpu = "/sys/devices/system/cpu/cpu",
                      dmi = "/sys/devices/virtual/dmi/id/";
    const Files odd_caches = {{index + "0/level", "1\n"}, {index + "0/type", "Data\n"}, {index + "0/size", "1024K\n"},
                              {index + "1/level", "1\n"}, {index + "1/type", "Instruction\n"}, {index + "1/size", "x\n"},
                              {index + "2/level", "2"},   {index + "2/type", "Unified"},       {index + "2/size", "1M"},
                              {index + "3/level", "3"},   {index + "3/type", "Unified"},       {index + "3/size", "32K z"},
                              {index + "7/level", "2"},   {index + "7/type", "Unified"},       {index + "7/size", "2M"}};
    Files unreadable_cache = odd_caches, unreadable_online = {
        {cpu + "0/topology/core_cpus_list", "0-1"}, {cpu + "1/topology/core_cpus_list", "0-1"},
        {"/proc/cpuinfo", "physical id\t: 0\ncore id\t: 0\nprocessor\t: 1\nphysical id\t: 1\ncore id\t: 0\n"}};
    unreadable_cache.push_back({index + "9/size", kUnreadable});
    const std::string with_online = cores(TempTree(unreadable_online).root.c_str());
    unreadable_online.push_back({cpu + "1/online", kUnopenable});
    const struct {
        const char* name;
        Files files;
        std::string (*read)(const char*);
        std::string expected;
    } cases[] = {
        {"long product name cut", {{dmi + "product_name", long_product.c_str()}}, text_of<linux_model>,
         std::string(255, 'p')},
        {"vendor unreadable", {{dmi + "product_name", "X1"}, {dmi + "sys_vendor", kUnopenable}}, text_of<linux_model>,
         "fail"},
        {"overlong line skipped, not taken cut", {{"/proc/cpuinfo", cpuinfo.c_str()}}, text_of<linux_processor_name>,
         std::string(255, 'c')},
        // arm64 identifiers: unknown ones raw (so the machine is still told apart), malformed
        // or orphaned ones ignored, a repeated kind named once, the model name first if any.
        {"unknown arm64 part", {{"/proc/cpuinfo", "CPU implementer\t: 0x41\nCPU part\t: 0xd99\n"
                                                  "processor\t: 1\nCPU implementer\t: 0x6d\nCPU part\t: 0xd0c\n"
                                                  "processor\t: 2\nCPU implementer\t: 0x41\nCPU part\t: 0xd99\n"}},
         text_of<linux_processor_name>, "implementer 0x41 part 0xd99 + implementer 0x6d part 0xd0c"},
        {"malformed arm64 identifiers", {{"/proc/cpuinfo", "CPU implementer\t: 0x41\nCPU part\t: d0c\n"
                                                           "processor\t: 1\nCPU implementer\t: 0x\nCPU part\t: 0xd0c\n"
                                                           "processor\t: 2\nCPU part\t: 0xd0c\n"
                                                           "CPU implementer\t: 0xffffffffff\nCPU part\t: 0xd0c\n"}},
         text_of<linux_processor_name>, "fail"},
        {"model name wins", {{"/proc/cpuinfo", "CPU implementer\t: 0x61\nCPU part\t: 0x023\nmodel name\t: M\n"}},
         text_of<linux_processor_name>, "M"},
        {"device tree at its other place",
         {{"/sys/firmware/devicetree/base/model", "Raspberry Pi 4 Model B Rev 1.4"}}, text_of<linux_model>,
         "Raspberry Pi 4 Model B Rev 1.4"},
        {"sizes that are not sizes; lowest index wins", odd_caches, caches, "1024 - 1024 - "},
        {"an unreadable index may hold what is not found", unreadable_cache, caches, "1024 failed 1024 failed "},
        {"empty cache folder", {{index + "x", ""}}, caches, "failed failed failed failed "},
        // cpuinfo's cores are the distinct (physical id, core id) pairs
        {"unreadable online flag: cpuinfo answers", unreadable_online, cores, "2"},
        {"/etc/os-release unreadable is no cue for the stand-in",
         {{"/etc/os-release", kUnopenable}, {"/usr/lib/os-release", "PRETTY_NAME=x"}}, text_of<linux_os_text>, "fail"},
    };
    EXPECT_EQ(with_online, "1");  // sysfs answers while the flag reads
    for (const auto& c : cases) EXPECT_EQ(c.read(TempTree(c.files).root.c_str()), c.expected) << c.name;
}

// Trees described as "path=text;...": paths below /sys/fs/cgroup unless absolute, "?" for
// an unreadable file, over a process in /box/job (v2) and /box (v1) unless a row says otherwise.
TEST(Probe, UsableProcessors) {
    const struct {
        const char* tree;
        int64_t online, affinity, expected;
    } cases[] = {
        {"", 8, 0, 8}, {"", 8, 3, 3}, {"", 0, 0, 1},
        {"box/job/cpu.max=150000 100000", 8, 8, 2},
        {"box/job/cpu.max=max 100000", 8, 8, 8},
        {"box/job/cpu.max=max 100000;box/cpu.max=300000 100000", 8, 8, 3},  // a parent's quota binds
        {"box/job/cpu.max=300000 100000", 8, 2, 2},
        {"cpu/box/cpu.cfs_quota_us=250000;cpu/box/cpu.cfs_period_us=100000", 8, 8, 3},
        {"cpu/box/cpu.cfs_quota_us=-1;cpu/box/cpu.cfs_period_us=100000", 8, 8, 8},
        {"cpu/cpu.cfs_quota_us=500000;cpu/cpu.cfs_period_us=100000;box/cpu.max=600000 100000", 8, 8, 5},
        {"box/job/cpu.max=lots;cpu/box/cpu.cfs_quota_us=200000", 8, 8, 8},  // garbage; a quota without period
        {"box/job/cpu.max=?;box/cpu.max=200000 100000", 8, 8, 2},
        {"/proc/self/cgroup=0::/box;/proc/self/mountinfo=3 1 0:2 /box /sys/fs/cgroup rw - cgroup2 c rw;"
         "cpu.max=100000 100000", 8, 8, 1},  // a namespace: the mount shows the process's own cgroup
        {"/proc/self/cgroup=0::/elsewhere;/proc/self/mountinfo=3 1 0:2 /box /sys/fs/cgroup rw - cgroup2 c rw;"
         "cpu.max=100000 100000", 8, 8, 8},
    };
    for (const auto& c : cases) {
        TempTree tree({{"/proc/self/cgroup", "4:cpu,cpuacct:/box\n0::/box/job\n"},
                       {"/proc/self/mountinfo", "30 1 0:27 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
                                                "31 1 0:28 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu,cpuacct\n"}});
        for (std::string rest = c.tree; !rest.empty();) {
            const std::string entry = rest.substr(0, rest.find(';')), path = entry.substr(0, entry.find('=')),
                              text = entry.substr(entry.find('=') + 1);
            tree.write(path[0] == '/' ? path : "/sys/fs/cgroup/" + path, text == "?" ? kUnreadable : text.c_str());
            rest.erase(0, std::min(rest.size(), entry.size() + 1));
        }
        EXPECT_EQ(linux_usable_processors(tree.root.c_str(), c.online, c.affinity), c.expected) << c.tree;
    }
}

TEST(Probe, UsableProcessorsLine) {  // the one-processor line shows in the live test
    EXPECT_EQ(printed([](FILE* f) { print_usable_processors(f, 3, 64); }),
              "  this process may use 3 of 64 logical processors; multi-core tests use 3 threads\n");
    EXPECT_EQ(printed([](FILE* f) { print_usable_processors(f, 2, 2); }), "");
}

struct TickRead {
    bool ok;
    uint64_t total, idle;
};

// The scripted tick counters: the baseline read first, then one per round; reads past
// the script fail.
std::vector<TickRead> g_ticks;
size_t g_next;
int g_sleeps;

int script_ticks(const char*, CpuTicks* t) {
    if (g_next >= g_ticks.size()) return 0;
    const TickRead& r = g_ticks[g_next++];
    *t = {r.total, r.idle};
    return r.ok;
}
void script_sleep(unsigned seconds) { g_sleeps += static_cast<int>(seconds); }

// Runs the check over the script (memory and process figures from the Mach arithmetic)
// and returns what it printed.
std::string run_check(std::vector<TickRead> ticks, BackgroundStats* stats) {
    g_ticks = std::move(ticks);
    g_next = 0;
    g_sleeps = 0;
    const BackgroundSource source = {
        "", script_ticks, script_sleep,
        [](const char*, uint64_t* bytes) { *bytes = mach_available_bytes(100000, 50000, 4096); return 1; },
        [](const char*, int64_t* count) { *count = mach_process_count(648000); return 1; }};
    SystemInfo info{};
    info.memory_mb = 16384;
    return printed([&](FILE* out) { background_check_with(&source, out, &info, stats); });
}

// A baseline and ten rounds, each advancing by delta ticks of which idle_delta idle.
std::vector<TickRead> steady(uint64_t delta, uint64_t idle_delta) {
    std::vector<TickRead> ticks;
    for (uint64_t i = 0; i <= 10; ++i) ticks.push_back({true, 5000 + i * delta, 3000 + i * idle_delta});
    return ticks;
}

TEST(Background, ScriptedSamples) {
    const std::string head = "\n  checking background system activity for 10 seconds", dots = ".......... done\n",
                      figures = "  available memory: 585 MB of 16384 MB\n  processes: 1000\n",
                      warning = "  warning: background CPU activity may reduce benchmark scores\n";
    const struct {
        const char* name;
        std::vector<TickRead> ticks;
        std::string printed;
        int32_t samples;
        double average, peak;
        int64_t memory_mb, processes;
    } cases[] = {
        {"ten good samples", steady(400, 380),
         dots + "  background CPU: 5.0% average / 5.0% peak\n" + figures, 10, 5.0, 5.0, 585, 1000},
        // A total that did not grow, a failed read and a total that went back are dropped;
        // the next sample is measured against the last kept figures (1100/550: 95%, not 100%).
        {"dropped samples",
         {{true, 1000, 500}, {true, 1100, 550}, {true, 1100, 560}, {false, 9999, 0}, {true, 1300, 560},
          {true, 1200, 560}, {true, 1400, 660}},
         dots + "  background CPU: 48.3% average / 95.0% peak\n" + figures + warning, 3, 145.0 / 3, 95.0, 585, 1000},
        {"every sample dropped", {{true, 1000, 500}}, dots, 0, 0.0, 0.0, 585, 1000},
        {"baseline fails", {{false, 1000, 500}}, "... unavailable\n", 0, 0.0, 0.0, -1, -1},
        {"10.0% warns", steady(1000, 900),
         dots + "  background CPU: 10.0% average / 10.0% peak\n" + figures + warning, 10, 10.0, 10.0, 585, 1000},
        // Ten 9.95s add up to a hair over 99.5: printed as 10.0, yet below the threshold.
        {"9.95% does not", steady(2000, 1801),
         dots + "  background CPU: 10.0% average / 9.9% peak\n" + figures, 10, 9.95, 9.95, 585, 1000},
        // 50.0% then 50.6%: a peak that rises by less than a point still moves.
        {"small rise of the peak", {{true, 1000, 500}, {true, 2000, 1000}, {true, 3000, 1494}},
         dots + "  background CPU: 50.3% average / 50.6% peak\n" + figures + warning, 2, 50.3, 50.6, 585, 1000},
        {"idle outgrowing the total is no load", {{true, 1000, 500}, {true, 1100, 700}},
         dots + "  background CPU: 0.0% average / 0.0% peak\n" + figures, 1, 0.0, 0.0, 585, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BackgroundStats s;
        EXPECT_EQ(run_check(c.ticks, &s), head + c.printed);
        EXPECT_EQ(g_sleeps, c.memory_mb < 0 ? 0 : 10);
        EXPECT_EQ(s.sample_seconds, c.samples);
        EXPECT_NEAR(s.background_cpu_average_percent, c.average, 1e-9);
        EXPECT_NEAR(s.background_cpu_peak_percent, c.peak, 1e-9);
        EXPECT_EQ(s.available_memory_mb, c.memory_mb);
        EXPECT_EQ(s.process_count, c.processes);
    }
}

TEST(Background, MachTicks) {  // user and system are added at 32 bits, idle and nice at 64
    EXPECT_EQ(mach_cpu_ticks(0xFFFFFFFFu, 2, 10, 5).total, 16u);
    EXPECT_EQ(mach_cpu_ticks(1, 2, 0xFFFFFFFFu, 0xFFFFFFFFu).total, 3 + 2 * 0xFFFFFFFFull);
}

}  // namespace

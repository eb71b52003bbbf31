// The probe's steps over fake platform answers, and over Linux fixture trees.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "sysenv/sysenv_seams.h"
#include "tree_util.h"

namespace {

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
    const struct {
        void (*edit)(Fake&);
        const char* expected;  // cpu|model|operating system|kernel|threads|cores|memory MB|L1|L2|L3 KB
    } cases[] = {
        {[](Fake&) {}, "i9|MBP|macOS 14|Darwin 23|8|4|16384|64|256|16384"},
        {[](Fake& f) { f.brand = f.model = nullptr, f.family_ok = true, f.family = 7; },  // unknown family
         "x86-64|x86-64|macOS 14|Darwin 23|8|4|16384|64|256|16384"},
        {[](Fake& f) { f.brand = "", f.family_ok = true; }, "Apple M1|MBP|macOS 14|Darwin 23|8|4|16384|64|256|16384"},
        {[](Fake& f) { f.cache_ok[1] = f.cache_ok[2] = f.cache_ok[3] = false; },  // L1 data only
         "i9|MBP|macOS 14|Darwin 23|8|4|16384|32|32|32"},
        {[](Fake& f) { f.cache_ok[0] = f.cache_ok[1] = f.cache_ok[2] = f.cache_ok[3] = false; },
         "i9|MBP|macOS 14|Darwin 23|8|4|16384|1|1|1"},
        {[](Fake& f) { f.memory_ok = false; }, "i9|MBP|macOS 14|Darwin 23|8|4|1|64|256|16384"},
        {[](Fake& f) { f.online = 0, f.cores_ok = false; }, "i9|MBP|macOS 14|Darwin 23|1|1|16384|64|256|16384"},
        {[](Fake& f) { f.online = 1, f.cores_ok = false; }, "i9|MBP|macOS 14|Darwin 23|1|1|16384|64|256|16384"},
        {[](Fake& f) { f.online = -1, f.cores_ok = false; }, "i9|MBP|macOS 14|Darwin 23|1|1|16384|64|256|16384"},
        {[](Fake& f) { f.online = 1, f.cores = 6; }, "i9|MBP|macOS 14|Darwin 23|1|6|16384|64|256|16384"},
        {[](Fake& f) { f.sysname = nullptr; }, "i9|MBP|macOS 14|macOS 14|8|4|16384|64|256|16384"},  // uname fails
    };
    for (const auto& c : cases) {
        Fake f;
        c.edit(f);
        EXPECT_EQ(describe(probe_fake(f)), c.expected);
    }

    Fake f;
    const std::string long_model(300, 'm');
    f.model = long_model.c_str();
    EXPECT_EQ(std::string(probe_fake(f).model), std::string(255, 'm'));
}

TEST(Probe, LinuxFixtureMachines) {
    const std::pair<const char*, const char*> cases[] = {
        {"server2s", "Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz|Dell Inc. PowerEdge R640|Ubuntu 20.04.6 LTS|"
                     "Linux 6.1.0|32|16|192939|64|1024|11264"},
        // No DMI: the model is the processor; no L3: the L2 figure stands in.
        {"vm-nodmi", "Intel Xeon Processor (Icelake)|Intel Xeon Processor (Icelake)|Debian GNU/Linux 10 (buster)|"
                     "Linux 6.1.0|4|4|7961|80|4096|4096"},
        {"laptop-hybrid", "12th Gen Intel(R) Core(TM) i7-1260P|Framework Laptop (12th Gen Intel Core)|"
                          "Fedora Linux 39 (Workstation Edition)|Linux 6.1.0|15|11|31718|80|1280|18432"},
    };
    for (const auto& [machine, expected] : cases) {
        const std::string root = fixture_root(machine);
        const ProbeReaders readers = linux_tree_readers(root.c_str());
        SystemInfo info;
        probe_with(&readers, &info);
        EXPECT_EQ(describe(info), expected) << machine;
    }

    // Without a usable sysfs topology, cores are the distinct (physical id, core id) pairs.
    TempTree tree;
    tree.write("/sys/devices/system/cpu/cpu0/topology/thread_siblings_list", "zz\n");
    tree.write("/proc/cpuinfo", "");
    int32_t cores = 0;
    for (const auto& [machine, expected] : {std::pair{"server2s", 16}, std::pair{"laptop-hybrid", 11}}) {
        std::filesystem::copy_file(fixture_root(machine) + "/proc/cpuinfo", tree.root + "/proc/cpuinfo",
                                   std::filesystem::copy_options::overwrite_existing);
        ASSERT_TRUE(linux_physical_cores(tree.root.c_str(), &cores));
        EXPECT_EQ(cores, expected) << machine;
    }
}

TEST(Probe, LinuxOddFiles) {
    TempTree tree;
    const char* root = tree.root.c_str();
    char buf[256];
    tree.write("/sys/devices/virtual/dmi/id/product_name", std::string(300, 'p') + "\n");
    ASSERT_TRUE(linux_model(root, buf, sizeof buf));
    EXPECT_EQ(std::string(buf), std::string(255, 'p'));

    // A line too long for the reader is skipped, not taken cut.
    tree.write("/proc/cpuinfo", "model name\t: " + std::string(5000, 'x') + "\nmodel name\t: " + std::string(300, 'c'));
    ASSERT_TRUE(linux_processor_name(root, buf, sizeof buf));
    EXPECT_EQ(std::string(buf), std::string(255, 'c'));

    const std::string dir = "/sys/devices/system/cpu/cpu0/cache/index";
    const char* const entries[][4] = {{"0", "1\n", "Data\n", "1024K\n"}, {"1", "1\n", "Instruction\n", "x\n"},
                                      {"2", "2\n", "Unified\n", "1M"}, {"3", "3", "Unified", "32K extra\n"}};
    for (const auto& e : entries) {
        tree.write(dir + e[0] + "/level", e[1]);
        tree.write(dir + e[0] + "/type", e[2]);
        tree.write(dir + e[0] + "/size", e[3]);
    }
    auto cache = [&](CacheSlot slot) {
        uint64_t bytes = 0;
        return linux_sysfs_cache(root, slot, &bytes) == kSysfsCacheFound ? std::to_string(bytes) : "absent";
    };
    EXPECT_EQ(cache(kCacheL1Data), "1048576");
    EXPECT_EQ(cache(kCacheL1Instruction), "absent");  // sizes that are not sizes
    EXPECT_EQ(cache(kCacheL2), "1048576");
    EXPECT_EQ(cache(kCacheL3), "absent");
}

}  // namespace

// Linux's system files: whole machines from fixture trees, odd and broken files,
// and the parsers behind them.
#include <gtest/gtest.h>

#include <string>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv_seams.h"
#include "tree_util.h"

namespace {

struct Expected {
    const char* machine;
    const char* cpu;
    const char* model;
    const char* os;
    int64_t threads, cores, memory_mb, l1, l2, l3;
};

// The fixture machines as the probe should describe them.
const Expected kMachines[] = {
    // Two sockets, 8 cores each with two threads.
    {"server2s", "Intel(R) Xeon(R) Silver 4110 CPU @ 2.10GHz", "Dell Inc. PowerEdge R640", "Ubuntu 20.04.6 LTS", 32,
     16, 192939, 64, 1024, 11264},
    // No DMI (model falls back to the processor) and no L3 (takes the L2 figure).
    {"vm-nodmi", "Intel Xeon Processor (Icelake)", "Intel Xeon Processor (Icelake)", "Debian GNU/Linux 10 (buster)", 4,
     4, 7961, 80, 4096, 4096},
    // 4 two-thread performance cores and 8 efficiency cores, one of them offline.
    {"laptop-hybrid", "12th Gen Intel(R) Core(TM) i7-1260P", "Framework Laptop (12th Gen Intel Core)",
     "Fedora Linux 39 (Workstation Edition)", 15, 11, 31718, 80, 1280, 18432},
};

SystemInfo probe_linux_tree(const char* root) {
    const ProbeReaders readers = linux_tree_readers(root);
    SystemInfo info;
    probe_with(&readers, &info);
    return info;
}

TEST(LinuxMachines, FixtureTreesDescribeTheirMachines) {
    for (const Expected& e : kMachines) {
        SCOPED_TRACE(e.machine);
        const std::string root = fixture_root(e.machine);
        const SystemInfo info = probe_linux_tree(root.c_str());
        EXPECT_STREQ(info.cpu, e.cpu);
        EXPECT_STREQ(info.model, e.model);
        EXPECT_STREQ(info.operating_system, e.os);
        EXPECT_EQ(info.cpu_threads, e.threads);
        EXPECT_EQ(info.cpu_cores, e.cores);
        EXPECT_EQ(info.memory_mb, e.memory_mb);
        EXPECT_EQ(info.l1_cache_kb, e.l1);
        EXPECT_EQ(info.l2_cache_kb, e.l2);
        EXPECT_EQ(info.l3_cache_kb, e.l3);
        EXPECT_NE(info.kernel[0], '\0');  // uname of the machine running the test
    }
}

TEST(LinuxMachines, CpuinfoCountsCoresWithoutTopology) {
    // Without /sys, cores come from the distinct (physical id, core id) pairs.
    TempTree tree;
    tree.copy_from("server2s", "/proc/cpuinfo");
    int32_t cores = 0;
    ASSERT_TRUE(linux_physical_cores(tree.root(), &cores));
    EXPECT_EQ(cores, 16);
    tree.copy_from("laptop-hybrid", "/proc/cpuinfo");
    ASSERT_TRUE(linux_physical_cores(tree.root(), &cores));
    EXPECT_EQ(cores, 11);

    // Garbage in a topology list sends the count to /proc/cpuinfo as well.
    tree.write("/sys/devices/system/cpu/cpu0/topology/thread_siblings_list", "zz\n");
    ASSERT_TRUE(linux_physical_cores(tree.root(), &cores));
    EXPECT_EQ(cores, 11);

    // A VM whose cpuinfo has no core ids: the query fails.
    tree.write("/proc/cpuinfo", "processor\t: 0\nmodel name\t: QEMU Virtual CPU\n\nprocessor\t: 1\n");
    std::filesystem::remove_all(std::string(tree.root()) + "/sys");
    EXPECT_FALSE(linux_physical_cores(tree.root(), &cores));
}

TEST(LinuxMachines, EmptyTreeGivesTheDefaults) {
    TempTree tree;
    const SystemInfo info = probe_linux_tree(tree.root());
    EXPECT_STREQ(info.cpu, "x86-64");
    EXPECT_STREQ(info.model, "x86-64");
    EXPECT_STREQ(info.operating_system, "Linux");
    EXPECT_EQ(info.cpu_threads, 1);
    EXPECT_EQ(info.cpu_cores, 1);
    EXPECT_EQ(info.memory_mb, 1);
    EXPECT_EQ(info.l1_cache_kb, 1);
    EXPECT_EQ(info.l2_cache_kb, 1);
    EXPECT_EQ(info.l3_cache_kb, 1);
}

TEST(LinuxOddFiles, OverlongTextsAreCut) {
    TempTree tree;
    const std::string product(300, 'p');
    tree.write("/sys/devices/virtual/dmi/id/product_name", product + "\n");
    char buf[256];
    ASSERT_TRUE(linux_model(tree.root(), buf, sizeof buf));
    EXPECT_EQ(std::string(buf), std::string(255, 'p'));
    tree.write("/sys/devices/virtual/dmi/id/sys_vendor", "Acme Computers\n");
    ASSERT_TRUE(linux_model(tree.root(), buf, sizeof buf));
    EXPECT_EQ(std::string(buf), "Acme Computers " + std::string(240, 'p'));

    // A model name of 300 characters, after a line too long for the reader to take whole.
    tree.write("/proc/cpuinfo", "model name\t: " + std::string(10000, 'x') + "\nmodel name\t: " +
                                    std::string(300, 'c') + "  \n");
    ASSERT_TRUE(linux_processor_name(tree.root(), buf, sizeof buf));
    EXPECT_EQ(std::string(buf), std::string(255, 'c'));

    tree.write("/etc/os-release", "PRETTY_NAME=\"" + std::string(400, 'd') + "\"\n");
    ASSERT_TRUE(linux_os_text(tree.root(), buf, sizeof buf));
    EXPECT_EQ(std::string(buf), std::string(255, 'd'));
}

TEST(LinuxOddFiles, CacheSizesInOtherUnitsAndBrokenEntries) {
    TempTree tree;
    const std::string dir = "/sys/devices/system/cpu/cpu0/cache/";
    auto index = [&](int i, const char* level, const char* type, const char* size) {
        const std::string d = dir + "index" + std::to_string(i) + "/";
        tree.write(d + "level", level);
        tree.write(d + "type", type);
        tree.write(d + "size", size);
    };
    index(0, "1\n", "Data\n", "1024K\n");
    index(1, "1\n", "Instruction\n", "garbage\n");  // unreadable size: that cache is missing
    index(2, "2\n", "Unified\n", "1M");
    index(3, "3", "Unified", "32K extra\n");
    index(4, "4\n", "Unified\n", "128M\n");  // L4 is not asked for
    uint64_t bytes = 0;
    EXPECT_EQ(linux_sysfs_cache(tree.root(), kCacheL1Data, &bytes), kSysfsCacheFound);
    EXPECT_EQ(bytes, 1048576u);
    EXPECT_EQ(linux_sysfs_cache(tree.root(), kCacheL1Instruction, &bytes), kSysfsCacheAbsent);
    EXPECT_EQ(linux_sysfs_cache(tree.root(), kCacheL2, &bytes), kSysfsCacheFound);
    EXPECT_EQ(bytes, 1048576u);
    EXPECT_EQ(linux_sysfs_cache(tree.root(), kCacheL3, &bytes), kSysfsCacheAbsent);

    // Two entries for one level: the lower index answers, whatever the directory order.
    index(7, "3\n", "Unified\n", "8M\n");
    index(6, "3\n", "Unified\n", "6M\n");
    EXPECT_EQ(linux_sysfs_cache(tree.root(), kCacheL3, &bytes), kSysfsCacheFound);
    EXPECT_EQ(bytes, 6u << 20);

    // A cache folder with no entries is as good as none; outside the live system
    // nothing stands in for it.
    TempTree empty;
    empty.mkdir(dir);
    EXPECT_EQ(linux_sysfs_cache(empty.root(), kCacheL2, &bytes), kSysfsCacheNoFolder);
    EXPECT_FALSE(linux_cache_bytes(empty.root(), kCacheL2, &bytes));
}

TEST(LinuxOddFiles, UnreadableAndMalformedFilesFailTheQuery) {
    TempTree tree;
    // Directories where files should be.
    tree.mkdir("/proc/cpuinfo");
    tree.mkdir("/proc/meminfo");
    tree.mkdir("/etc/os-release");
    tree.mkdir("/sys/devices/system/cpu/online");
    char buf[256];
    uint64_t bytes = 0;
    EXPECT_FALSE(linux_processor_name(tree.root(), buf, sizeof buf));
    EXPECT_FALSE(linux_memory_bytes(tree.root(), &bytes));
    EXPECT_FALSE(linux_os_text(tree.root(), buf, sizeof buf));
    EXPECT_EQ(linux_online_processors(tree.root()), -1);

    // /etc/os-release present without a name: /usr/lib/os-release is not consulted.
    TempTree os;
    os.write("/etc/os-release", "NAME=Something\nPRETTY_NAME=\"\"\n");
    os.write("/usr/lib/os-release", "PRETTY_NAME=\"Other\"\n");
    EXPECT_FALSE(linux_os_text(os.root(), buf, sizeof buf));

    TempTree odd;
    odd.write("/sys/devices/system/cpu/online", "0-3,x\n");
    odd.write("/proc/meminfo", "MemTotal:  18446744073709551615 kB\nMemAvailable:  12 MB\n");
    EXPECT_EQ(linux_online_processors(odd.root()), -1);
    EXPECT_FALSE(linux_memory_bytes(odd.root(), &bytes));
    EXPECT_FALSE(linux_available_memory_bytes(odd.root(), &bytes));
}

TEST(LinuxParsers, CpuLists) {
    int64_t count = 0, lowest = 0;
    ASSERT_TRUE(parse_cpu_list("0-3,8,10-11\n", &count, &lowest));
    EXPECT_EQ(count, 7);
    EXPECT_EQ(lowest, 0);
    ASSERT_TRUE(parse_cpu_list("5", &count, &lowest));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(lowest, 5);
    ASSERT_TRUE(parse_cpu_list("12,4-5", &count, &lowest));
    EXPECT_EQ(lowest, 4);
    for (const char* bad : {"", "\n", "3-1", "0-", "-1", "1,,2", "1,", "0-3 x", "99999999999999999999",
                            "0-4294967295"}) {
        EXPECT_FALSE(parse_cpu_list(bad, &count, &lowest)) << bad;
    }
}

TEST(LinuxParsers, SizesAndValues) {
    uint64_t v = 0;
    ASSERT_TRUE(parse_cache_size("48K\n", &v));
    EXPECT_EQ(v, 49152u);
    ASSERT_TRUE(parse_cache_size("2M", &v));
    EXPECT_EQ(v, 2097152u);
    ASSERT_TRUE(parse_cache_size("4096", &v));
    EXPECT_EQ(v, 4096u);
    for (const char* bad : {"", "K", "32KB", "-32K", "32 K", "17179869184G", "1.5M"})
        EXPECT_FALSE(parse_cache_size(bad, &v)) << bad;

    ASSERT_TRUE(parse_meminfo_bytes("24376364 kB", &v));
    EXPECT_EQ(v, 24376364ull * 1024);
    EXPECT_FALSE(parse_meminfo_bytes("kB", &v));

    EXPECT_STREQ(parse_key_value("model name\t: AMD EPYC", "model name"), "AMD EPYC");
    EXPECT_STREQ(parse_key_value("MemTotal:", "MemTotal"), "");
    EXPECT_EQ(parse_key_value("model\t\t: 85", "model name"), nullptr);
    EXPECT_EQ(parse_key_value("model name x: 1", "model name"), nullptr);
}

TEST(LinuxParsers, StatLines) {
    CpuTicks t{};
    ASSERT_TRUE(parse_stat_cpu_line("cpu  4950 0 7584 7239906 124 0 274 0 0 0", &t));
    EXPECT_EQ(t.idle, 7239906u + 124u);
    EXPECT_EQ(t.total, 4950u + 7584u + 7239906u + 124u + 274u);
    // Old kernels write four counters only.
    ASSERT_TRUE(parse_stat_cpu_line("cpu 1 2 3 4", &t));
    EXPECT_EQ(t.total, 10u);
    EXPECT_EQ(t.idle, 4u);
    // Counters past 32 bits.
    ASSERT_TRUE(parse_stat_cpu_line("cpu 5000000000 0 0 7000000000", &t));
    EXPECT_EQ(t.total, 12000000000ull);
    for (const char* bad : {"", "cpu", "cpu 1 2 3", "cpu0 1 2 3 4", "cpu 1 2 3 x", "cpu 1 2 3 4 zz", "intr 1 2 3 4",
                            "cpu 18446744073709551615 1 0 0", "cpu 1 2 3 99999999999999999999"}) {
        EXPECT_FALSE(parse_stat_cpu_line(bad, &t)) << bad;
    }
}

TEST(LinuxParsers, OsReleaseQuoting) {
    char out[64];
    ASSERT_TRUE(parse_os_release_line("PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"", out, sizeof out));
    EXPECT_STREQ(out, "Debian GNU/Linux 12 (bookworm)");
    ASSERT_TRUE(parse_os_release_line("PRETTY_NAME='Arch Linux'", out, sizeof out));
    EXPECT_STREQ(out, "Arch Linux");
    ASSERT_TRUE(parse_os_release_line("PRETTY_NAME=Gentoo  ", out, sizeof out));
    EXPECT_STREQ(out, "Gentoo");
    ASSERT_TRUE(parse_os_release_line("PRETTY_NAME=\"Say \\\"hi\\\" \\\\ there\"", out, sizeof out));
    EXPECT_STREQ(out, "Say \"hi\" \\ there");
    EXPECT_FALSE(parse_os_release_line("PRETTY_NAME=\"\"", out, sizeof out));
    EXPECT_FALSE(parse_os_release_line("NAME=\"Debian\"", out, sizeof out));
    EXPECT_FALSE(parse_os_release_line("#PRETTY_NAME=\"x\"", out, sizeof out));
}

TEST(LinuxParsers, DmiModelText) {
    char out[256];
    ASSERT_TRUE(compose_dmi_model("LENOVO", "20XW0055GE", out, sizeof out));
    EXPECT_STREQ(out, "LENOVO 20XW0055GE");
    // The product already names its maker.
    ASSERT_TRUE(compose_dmi_model("HP", "HP EliteBook 840 G8 Notebook PC", out, sizeof out));
    EXPECT_STREQ(out, "HP EliteBook 840 G8 Notebook PC");
    ASSERT_TRUE(compose_dmi_model("Microsoft Corporation", "Microsoft Surface Laptop 4", out, sizeof out));
    EXPECT_STREQ(out, "Microsoft Surface Laptop 4");
    // Firmware placeholders say nothing.
    ASSERT_TRUE(compose_dmi_model("System manufacturer", "ROG STRIX B550-F", out, sizeof out));
    EXPECT_STREQ(out, "ROG STRIX B550-F");
    ASSERT_TRUE(compose_dmi_model("", "Standard PC (Q35 + ICH9, 2009)", out, sizeof out));
    EXPECT_STREQ(out, "Standard PC (Q35 + ICH9, 2009)");
    EXPECT_FALSE(compose_dmi_model("ASUS", "System Product Name", out, sizeof out));
    EXPECT_FALSE(compose_dmi_model("Dell Inc.", "", out, sizeof out));
    EXPECT_FALSE(compose_dmi_model("", "to be filled by o.e.m.", out, sizeof out));
}

}  // namespace

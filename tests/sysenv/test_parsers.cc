// The Linux file parsers on good, odd and hostile input, then random bytes into
// every parser and every system file the probe reads (this runs under the
// sanitizers too): no crash, no write past a buffer, texts always terminated.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "sysenv/linux_files.h"
#include "tree_util.h"

namespace {

// Each parser's answer as text, "fail" when it refuses the input.
std::string cpu_list(const char* t) {
    int64_t count = 0, lowest = 0;
    return parse_cpu_list(t, &count, &lowest) ? std::to_string(count) + " from " + std::to_string(lowest) : "fail";
}
std::string cache_size(const char* t) {
    uint64_t v = 0;
    return parse_cache_size(t, &v) ? std::to_string(v) : "fail";
}
std::string meminfo(const char* t) {
    uint64_t v = 0;
    return parse_meminfo_bytes(t, &v) ? std::to_string(v) : "fail";
}
std::string stat_line(const char* t) {
    CpuTicks c{};
    return parse_stat_cpu_line(t, &c) ? std::to_string(c.total) + " idle " + std::to_string(c.idle) : "fail";
}
std::string os_release(const char* t) {
    char out[64];
    return parse_os_release_line(t, out, sizeof out) ? out : "fail";
}
std::string dmi(const char* vendor_and_product) {  // "vendor|product"
    const std::string v = vendor_and_product, vendor = v.substr(0, v.find('|')), product = v.substr(v.find('|') + 1);
    char out[256];
    return compose_dmi_model(vendor.c_str(), product.c_str(), out, sizeof out) ? out : "fail";
}

TEST(Parsers, GoodAndBadInput) {
    const struct {
        std::string (*parse)(const char*);
        const char* input;
        const char* expected;
    } cases[] = {
        {cpu_list, "0-3,8,10-11\n", "7 from 0"}, {cpu_list, "12,4-5", "3 from 4"}, {cpu_list, "3-1", "fail"},
        {cpu_list, "1,,2", "fail"}, {cpu_list, "0-3 x", "fail"}, {cpu_list, "0-4294967295", "fail"},
        {cpu_list, "99999999999999999999", "fail"},
        {cache_size, "1024K\n", "1048576"}, {cache_size, "1M", "1048576"}, {cache_size, "4096", "4096"},
        {cache_size, "32KB", "fail"}, {cache_size, "1.5M", "fail"}, {cache_size, "17179869184G", "fail"},
        {meminfo, "24376364 kB", "24961396736"}, {meminfo, "18446744073709551615 kB", "fail"},
        {stat_line, "cpu  4950 1 7584 7239906 124 0 274 3 9 9", "7252842 idle 7240030"},  // guest time not twice
        {stat_line, "cpu 1 2 3 4", "10 idle 4"},                                         // old kernels
        {stat_line, "cpu 5000000000 0 0 7000000000", "12000000000 idle 7000000000"},
        {stat_line, "cpu  1 2 3", "fail"}, {stat_line, "cpu0 1 2 3 4", "fail"}, {stat_line, "cpu 1 2 3 4 zz", "fail"},
        {stat_line, "cpu 18446744073709551615 1 0 0", "fail"},
        {os_release, "PRETTY_NAME='Arch Linux'", "Arch Linux"}, {os_release, "PRETTY_NAME=Gentoo  ", "Gentoo"},
        {os_release, "PRETTY_NAME=\"Say \\\"hi\\\" \\\\ there\"", "Say \"hi\" \\ there"},
        {os_release, "PRETTY_NAME=\"\"", "fail"}, {os_release, "NAME=\"Debian\"", "fail"},
        {dmi, "LENOVO|20XW0055GE", "LENOVO 20XW0055GE"},
        {dmi, "HP|HP EliteBook 840 G8", "HP EliteBook 840 G8"},  // the product names its maker
        {dmi, "System manufacturer|ROG STRIX B550-F", "ROG STRIX B550-F"},
        {dmi, "ASUS|System Product Name", "fail"}, {dmi, "|to be filled by o.e.m.", "fail"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.parse(c.input), c.expected) << c.input;
}

// Bytes biased towards what the parsers look for, so they get past the first check.
std::string random_text(std::mt19937& rng, size_t max_len) {
    static const char kAlphabet[] = "0123456789--,,::  \t\n\"'\\KMGkB=cpuPRETTY_NAME";
    std::string s(rng() % (max_len + 1), '\0');
    for (char& c : s) c = rng() % 4 ? kAlphabet[rng() % (sizeof kAlphabet - 1)] : static_cast<char>(rng());
    return s;
}

TEST(Parsers, RandomBytes) {
    std::mt19937 rng(20240611);
    TempTree tree;
    const char* root = tree.root.c_str();
    for (int round = 0; round < 3000; ++round) {
        const std::string a = random_text(rng, 300), b = random_text(rng, 300);
        EXPECT_NE(cpu_list(a.c_str()).rfind("0 from", 0), 0u);  // never an empty list
        cache_size(a.c_str());
        meminfo(a.c_str());
        CpuTicks ticks{};
        EXPECT_TRUE(!parse_stat_cpu_line(a.c_str(), &ticks) || ticks.total >= ticks.idle);

        // Guard bytes after the capacity handed out must stay untouched.
        char out[256 + 16];
        const size_t cap = 1 + rng() % 256;
        std::memset(out, 0x5A, sizeof out);
        parse_os_release_line(("PRETTY_NAME=" + a).c_str(), out, cap);
        EXPECT_TRUE(std::memchr(out, '\0', cap));
        EXPECT_TRUE(!compose_dmi_model(a.c_str(), b.c_str(), out, cap) || std::memchr(out, '\0', cap));
        EXPECT_EQ(std::string(out + cap, 16), std::string(16, 0x5A));
        CoreSet set;
        core_set_init(&set);
        for (const std::string& line : {"physical id : " + a, "core id : " + b, a}) core_set_line(&set, line.c_str());
        int32_t cores = 0;
        EXPECT_TRUE(!core_set_finish(&set, &cores) || cores == 1);

        if (round % 50 != 0) continue;
        // Every file the probe and the background check read, random; now and then a large one.
        static const char* const kFiles[] = {
            "/proc/cpuinfo", "/proc/stat", "/proc/meminfo", "/etc/os-release", "/sys/devices/system/cpu/online",
            "/sys/devices/system/cpu/cpu1/online", "/sys/devices/system/cpu/cpu0/topology/thread_siblings_list",
            "/sys/devices/system/cpu/cpu1/topology/core_cpus_list", "/sys/devices/system/cpu/cpu0/cache/index0/level",
            "/sys/devices/system/cpu/cpu0/cache/index0/type", "/sys/devices/system/cpu/cpu0/cache/index0/size",
            "/sys/devices/virtual/dmi/id/product_name", "/sys/devices/virtual/dmi/id/sys_vendor"};
        for (const char* file : kFiles)
            tree.write(file, random_text(rng, round % 500 == 0 ? 20000 : 200));
        const ProbeReaders readers = linux_tree_readers(root);
        SystemInfo info;
        probe_with(&readers, &info);
        for (const char* t : {info.cpu, info.model, info.operating_system}) EXPECT_TRUE(t[0] && std::memchr(t, 0, 256));
        EXPECT_TRUE(info.cpu_threads >= 1 && info.memory_mb >= 1 && info.l1_cache_kb >= 1 && info.l3_cache_kb >= 1);
        uint64_t bytes = 0;
        int64_t processes = -1;
        EXPECT_TRUE(!linux_cpu_ticks(root, &ticks) || ticks.total >= ticks.idle);
        linux_available_memory_bytes(root, &bytes);
        EXPECT_TRUE(linux_process_count(root, &processes) && processes == 0);
    }
}

}  // namespace

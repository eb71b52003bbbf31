// Random bytes into every parser and every system file: no crash, no write past
// a buffer, texts always terminated within their capacity.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv_seams.h"
#include "tree_util.h"

namespace {

// Bytes biased towards the characters the parsers look for, so they get past the first check.
std::string random_text(std::mt19937& rng, size_t max_len) {
    static const char kAlphabet[] = "0123456789--,,::  \t\n\"'\\KMGkB=cpuPRETTY_NAME";
    std::uniform_int_distribution<size_t> len_dist(0, max_len);
    std::uniform_int_distribution<int> byte_dist(0, 255), pick(0, 3);
    const size_t len = len_dist(rng);
    std::string s;
    for (size_t i = 0; i < len; ++i) {
        if (pick(rng) == 0)
            s += static_cast<char>(byte_dist(rng));
        else
            s += kAlphabet[static_cast<size_t>(byte_dist(rng)) % (sizeof kAlphabet - 1)];
    }
    return s;
}

// An output buffer with guard bytes after the capacity handed out.
struct Guarded {
    static constexpr size_t kGuard = 16;
    char bytes[256 + kGuard];
    size_t cap;
    explicit Guarded(size_t c) : cap(c) { std::memset(bytes, 0x5A, sizeof bytes); }
    bool intact() const {
        for (size_t i = cap; i < cap + kGuard; ++i)
            if (bytes[i] != 0x5A) return false;
        return std::memchr(bytes, '\0', cap) != nullptr;
    }
};

TEST(ParserFuzz, RandomBytesIntoEachParser) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<size_t> cap_dist(1, 256);
    for (int round = 0; round < 3000; ++round) {
        const std::string a = random_text(rng, 300), b = random_text(rng, 300);
        const char* text = a.c_str();

        uint64_t v = 0;
        const char* p = text;
        if (parse_u64(&p, &v)) {
            EXPECT_GT(p, text);
        }
        int64_t count = 0, lowest = 0;
        if (parse_cpu_list(text, &count, &lowest)) {
            EXPECT_GE(count, 1);
            EXPECT_GE(lowest, 0);
        }
        parse_cache_size(text, &v);
        parse_meminfo_bytes(text, &v);
        if (const char* value = parse_key_value(text, "model name")) {
            EXPECT_LE(value, text + a.size());
        }
        CpuTicks t{};
        if (parse_stat_cpu_line(text, &t)) {
            EXPECT_GE(t.total, t.idle);
        }

        Guarded os(cap_dist(rng));
        parse_os_release_line(("PRETTY_NAME=" + a).c_str(), os.bytes, os.cap);
        EXPECT_TRUE(os.intact());
        Guarded model(cap_dist(rng));
        if (compose_dmi_model(text, b.c_str(), model.bytes, model.cap)) {
            EXPECT_TRUE(model.intact());
        }

        CoreSet set;
        core_set_init(&set);
        core_set_line(&set, ("physical id : " + a).c_str());
        core_set_line(&set, ("core id : " + b).c_str());
        core_set_line(&set, text);
        int32_t cores = 0;
        if (core_set_finish(&set, &cores)) {
            EXPECT_EQ(cores, 1);
        }
    }
}

TEST(ParserFuzz, RandomSystemFiles) {
    static const char* const kFiles[] = {
        "/proc/cpuinfo",
        "/proc/stat",
        "/proc/meminfo",
        "/etc/os-release",
        "/sys/devices/system/cpu/online",
        "/sys/devices/system/cpu/cpu0/topology/thread_siblings_list",
        "/sys/devices/system/cpu/cpu1/topology/core_cpus_list",
        "/sys/devices/system/cpu/cpu1/online",
        "/sys/devices/system/cpu/cpu0/cache/index0/level",
        "/sys/devices/system/cpu/cpu0/cache/index0/type",
        "/sys/devices/system/cpu/cpu0/cache/index0/size",
        "/sys/devices/virtual/dmi/id/product_name",
        "/sys/devices/virtual/dmi/id/sys_vendor",
    };
    std::mt19937 rng(7);
    TempTree tree;
    for (int round = 0; round < 60; ++round) {
        for (const char* file : kFiles) {
            // Mostly short texts, now and then a large one.
            tree.write(file, random_text(rng, round % 10 == 0 ? 20000 : 200));
        }
        const ProbeReaders readers = linux_tree_readers(tree.root());
        SystemInfo info;
        probe_with(&readers, &info);
        EXPECT_LT(std::strlen(info.cpu), sizeof info.cpu);
        EXPECT_LT(std::strlen(info.model), sizeof info.model);
        EXPECT_LT(std::strlen(info.operating_system), sizeof info.operating_system);
        EXPECT_NE(info.cpu[0], '\0');
        EXPECT_NE(info.model[0], '\0');
        EXPECT_GE(info.cpu_threads, 1);
        EXPECT_GE(info.memory_mb, 1);
        EXPECT_GE(info.l1_cache_kb, 1);
        EXPECT_GE(info.l2_cache_kb, 1);
        EXPECT_GE(info.l3_cache_kb, 1);

        CpuTicks t{};
        uint64_t bytes = 0;
        int64_t processes = 0;
        if (linux_cpu_ticks(tree.root(), &t)) {
            EXPECT_GE(t.total, t.idle);
        }
        linux_available_memory_bytes(tree.root(), &bytes);
        ASSERT_TRUE(linux_process_count(tree.root(), &processes));
        EXPECT_EQ(processes, 0);
    }
}

}  // namespace

// The probe's steps, defaults and normalisation, fed fake platform answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sysenv/sysenv_seams.h"

namespace {

// What the fake platform answers; a null text or a false flag is a failed query.
struct FakeMachine {
    long online = 8;
    const char* brand = "Intel(R) Core(TM) i9-9980HK CPU @ 2.40GHz";
    bool family_ok = false;
    uint32_t family = 0;
    const char* model = "MacBookPro16,1";
    bool fill_model = false;  // write a full buffer without terminator, then fail (an overlong model)
    bool cores_ok = true;
    int32_t cores = 4;
    bool memory_ok = true;
    uint64_t memory = 17179869184ull;
    bool cache_ok[4] = {true, true, true, true};
    uint64_t cache[4] = {32768, 32768, 262144, 16777216};
    const char* os = "macOS 14.1";
    const char* sysname = "Darwin";
    const char* release = "23.1.0";
};

FakeMachine g_fake;

long fake_online(const char*) { return g_fake.online; }
int fake_text(const char* text, char* buf, size_t cap) {
    if (!text) return 0;
    std::snprintf(buf, cap, "%s", text);
    return 1;
}
int fake_brand(const char*, char* buf, size_t cap) { return fake_text(g_fake.brand, buf, cap); }
int fake_family(const char*, uint32_t* family) {
    *family = g_fake.family;
    return g_fake.family_ok;
}
int fake_model(const char*, char* buf, size_t cap) {
    if (g_fake.fill_model) {
        std::memset(buf, 'M', cap);
        return 0;
    }
    return fake_text(g_fake.model, buf, cap);
}
int fake_cores(const char*, int32_t* cores) {
    *cores = g_fake.cores;
    return g_fake.cores_ok;
}
int fake_memory(const char*, uint64_t* bytes) {
    *bytes = g_fake.memory;
    return g_fake.memory_ok;
}
int fake_cache(const char*, CacheSlot slot, uint64_t* bytes) {
    *bytes = g_fake.cache[slot];
    return g_fake.cache_ok[slot];
}
int fake_os(const char*, char* buf, size_t cap) { return fake_text(g_fake.os, buf, cap); }
int fake_kernel(char* sysname, size_t sysname_cap, char* release, size_t release_cap) {
    if (!g_fake.sysname) return 0;
    std::snprintf(sysname, sysname_cap, "%s", g_fake.sysname);
    std::snprintf(release, release_cap, "%s", g_fake.release);
    return 1;
}

SystemInfo probe_fake(const FakeMachine& machine) {
    g_fake = machine;
    const ProbeReaders readers = {"",          "macOS",      fake_online, fake_brand, fake_family, fake_model,
                                  fake_cores,  fake_memory,  fake_cache,  fake_os,    fake_kernel};
    SystemInfo info;
    std::memset(&info, 0x5A, sizeof info);  // the probe must not rely on a cleared record
    probe_with(&readers, &info);
    return info;
}

TEST(ProbeSteps, EveryAnswerPresent) {
    const SystemInfo info = probe_fake(FakeMachine{});
    EXPECT_STREQ(info.cpu, "Intel(R) Core(TM) i9-9980HK CPU @ 2.40GHz");
    EXPECT_STREQ(info.model, "MacBookPro16,1");
    EXPECT_STREQ(info.operating_system, "macOS 14.1");
    EXPECT_STREQ(info.kernel, "Darwin 23.1.0");
    EXPECT_EQ(info.cpu_threads, 8);
    EXPECT_EQ(info.cpu_cores, 4);
    EXPECT_EQ(info.memory_mb, 16384);  // 17,179,869,184 bytes
    EXPECT_EQ(info.l1_cache_kb, 64);   // data plus instruction
    EXPECT_EQ(info.l2_cache_kb, 256);
    EXPECT_EQ(info.l3_cache_kb, 16384);
}

TEST(ProbeSteps, ProcessorNameFallsBackToFamilyThenDefault) {
    FakeMachine m;
    m.brand = nullptr;
    m.family_ok = true;
    m.family = 0x12345678;  // unknown family
    m.model = nullptr;
    SystemInfo info = probe_fake(m);
    EXPECT_STREQ(info.cpu, "x86-64");
    EXPECT_STREQ(info.model, "x86-64");  // a failed model takes the processor name

    // An empty brand counts as missing: the family is asked.
    m.brand = "";
    const struct {
        uint32_t family;
        const char* name;
    } families[] = {{0x1B588BB3u, "Apple M1"}, {0xDA33D83Du, "Apple M2"}, {0x8765EDEAu, "Apple M3"},
                    {0x17D5B93Au, "Apple M4"}};
    for (const auto& f : families) {
        m.family = f.family;
        info = probe_fake(m);
        EXPECT_STREQ(info.cpu, f.name);
        EXPECT_STREQ(info.model, f.name);
    }

    // A failed family query leaves the default, even with a known value lying around.
    m.family_ok = false;
    EXPECT_STREQ(probe_fake(m).cpu, "x86-64");

    // A brand present wins over the family.
    m.brand = "Apple M2 Pro";
    m.family_ok = true;
    EXPECT_STREQ(probe_fake(m).cpu, "Apple M2 Pro");
}

TEST(ProbeSteps, CacheNormalisation) {
    FakeMachine m;
    // L1 data of 32 KiB only.
    m.cache_ok[kCacheL1Instruction] = m.cache_ok[kCacheL2] = m.cache_ok[kCacheL3] = false;
    SystemInfo info = probe_fake(m);
    EXPECT_EQ(info.l1_cache_kb, 32);
    EXPECT_EQ(info.l2_cache_kb, 32);
    EXPECT_EQ(info.l3_cache_kb, 32);

    // No caches at all.
    m.cache_ok[kCacheL1Data] = false;
    info = probe_fake(m);
    EXPECT_EQ(info.l1_cache_kb, 1);
    EXPECT_EQ(info.l2_cache_kb, 1);
    EXPECT_EQ(info.l3_cache_kb, 1);

    // Reported sizes below 1 KiB count as nothing; a missing L3 takes the L2 figure.
    FakeMachine small;
    small.cache[kCacheL1Data] = small.cache[kCacheL1Instruction] = 512;
    small.cache_ok[kCacheL3] = false;
    info = probe_fake(small);
    EXPECT_EQ(info.l1_cache_kb, 1);
    EXPECT_EQ(info.l2_cache_kb, 256);
    EXPECT_EQ(info.l3_cache_kb, 256);
}

TEST(ProbeSteps, MemoryFailureAndRounding) {
    FakeMachine m;
    m.memory_ok = false;
    EXPECT_EQ(probe_fake(m).memory_mb, 1);
    m.memory_ok = true;
    m.memory = 1048575;  // under one MiB rounds down to 0, then normalises
    EXPECT_EQ(probe_fake(m).memory_mb, 1);
    m.memory = (3ull << 20) + 1048575;
    EXPECT_EQ(probe_fake(m).memory_mb, 3);
}

TEST(ProbeSteps, ThreadAndCoreCounts) {
    FakeMachine m;
    m.cores_ok = false;
    for (long online : {-1L, 0L, 1L}) {
        m.online = online;
        const SystemInfo info = probe_fake(m);
        EXPECT_EQ(info.cpu_threads, 1) << online;
        EXPECT_EQ(info.cpu_cores, 1) << online;
    }
    m.online = 2;
    EXPECT_EQ(probe_fake(m).cpu_cores, 2);

    // More physical cores than threads, or none at all: both stand as reported.
    m.online = 1;
    m.cores_ok = true;
    m.cores = 6;
    SystemInfo info = probe_fake(m);
    EXPECT_EQ(info.cpu_threads, 1);
    EXPECT_EQ(info.cpu_cores, 6);
    m.cores = 0;
    EXPECT_EQ(probe_fake(m).cpu_cores, 0);
}

TEST(ProbeSteps, KernelAndOperatingSystem) {
    FakeMachine m;
    m.sysname = nullptr;  // uname fails
    SystemInfo info = probe_fake(m);
    EXPECT_STREQ(info.kernel, "macOS 14.1");

    m.os = nullptr;  // version query fails too: the platform's name stands
    info = probe_fake(m);
    EXPECT_STREQ(info.operating_system, "macOS");
    EXPECT_STREQ(info.kernel, "macOS");

    // A long OS text is cut to the kernel field's capacity when it stands in.
    const std::string long_os(250, 'o');
    m.os = long_os.c_str();
    info = probe_fake(m);
    EXPECT_EQ(std::string(info.operating_system), long_os);
    EXPECT_EQ(std::string(info.kernel), std::string(127, 'o'));

    // Long uname texts: 62 and 64 characters at most, so the pair fits 127.
    const std::string sys(100, 's'), rel(100, 'r');
    m.sysname = sys.c_str();
    m.release = rel.c_str();
    info = probe_fake(m);
    EXPECT_EQ(std::string(info.kernel), std::string(62, 's') + " " + std::string(64, 'r'));
}

TEST(ProbeSteps, OverlongTextsAreCutWithinTheirFields) {
    FakeMachine m;
    m.fill_model = true;  // the model read fails with all 256 bytes written
    const std::string brand(300, 'b');
    m.brand = brand.c_str();
    const SystemInfo info = probe_fake(m);
    EXPECT_EQ(std::string(info.model), std::string(255, 'M'));
    EXPECT_EQ(std::string(info.cpu), std::string(255, 'b'));
}

TEST(ProbeSteps, CompilerNamesTheRealCompiler) {
    const SystemInfo info = probe_fake(FakeMachine{});
    const std::string compiler = info.compiler;
#if defined(__clang__)
    EXPECT_EQ(compiler.rfind("Clang ", 0), 0u) << compiler;
#else
    EXPECT_EQ(compiler.rfind("GCC ", 0), 0u) << compiler;
#endif
    EXPECT_LE(compiler.size(), 127u);
    EXPECT_NE(compiler.back(), ' ');
    EXPECT_GT(compiler.size(), 6u);

    char small[8];
    compiler_text(small, sizeof small);
    EXPECT_EQ(std::strlen(small), 7u);
}

TEST(ProbeSteps, MacTextHelpers) {
    EXPECT_EQ(cpu_family_name(0), nullptr);
    EXPECT_STREQ(cpu_family_name(399882554u), "Apple M4");
    char out[256];
    macos_text("14.1", out, sizeof out);
    EXPECT_STREQ(out, "macOS 14.1");
    macos_text("", out, sizeof out);
    EXPECT_STREQ(out, "macOS ");
}

}  // namespace

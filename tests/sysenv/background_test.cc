// The background check's sampling, drop rules and printing, fed scripted tick
// counters, plus the platform arithmetic and the Linux readings on fixture trees.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sysenv/linux_files.h"
#include "sysenv/sysenv_seams.h"
#include "tree_util.h"

namespace {

struct TickRead {
    bool ok;
    uint64_t total, idle;
};

// The scripted platform: the baseline first, then one entry per round.
struct Script {
    std::vector<TickRead> ticks;
    size_t next = 0;
    int sleeps = 0;
    bool memory_ok = true;
    uint64_t memory = mach_available_bytes(100000, 50000, 4096);
    bool processes_ok = true;
    int64_t processes = mach_process_count(648000);
    int memory_reads = 0;
};

Script g_script;

int script_ticks(const char*, CpuTicks* t) {
    if (g_script.next >= g_script.ticks.size()) return 0;
    const TickRead& r = g_script.ticks[g_script.next++];
    t->total = r.total;
    t->idle = r.idle;
    return r.ok;
}
void script_sleep(unsigned seconds) { g_script.sleeps += static_cast<int>(seconds); }
int script_memory(const char*, uint64_t* bytes) {
    ++g_script.memory_reads;
    *bytes = g_script.memory;
    return g_script.memory_ok;
}
int script_processes(const char*, int64_t* count) {
    *count = g_script.processes;
    return g_script.processes_ok;
}

struct Outcome {
    BackgroundStats stats;
    std::string text;
};

Outcome run_check(const BackgroundSource& source, int64_t memory_mb = 16384) {
    SystemInfo info{};
    info.memory_mb = memory_mb;
    FILE* out = std::tmpfile();
    Outcome o;
    background_check_with(&source, out, &info, &o.stats);
    std::rewind(out);
    char buf[4096];
    const size_t n = std::fread(buf, 1, sizeof buf, out);
    std::fclose(out);
    o.text.assign(buf, n);
    return o;
}

Outcome run_script(const Script& script) {
    g_script = script;
    const BackgroundSource source = {"", script_ticks, script_sleep, script_memory, script_processes};
    return run_check(source);
}

// A baseline and ten rounds, each advancing by delta ticks of which idle_delta idle.
Script steady(uint64_t delta, uint64_t idle_delta) {
    Script s;
    for (int i = 0; i <= 10; ++i) s.ticks.push_back({true, 5000 + i * delta, 3000 + i * idle_delta});
    return s;
}

const char kHead[] = "\n  checking background system activity for 10 seconds";
const char kWarning[] = "  warning: background CPU activity may reduce benchmark scores\n";

TEST(BackgroundCheck, TenGoodSamples) {
    const Outcome o = run_script(steady(400, 380));
    EXPECT_EQ(o.text, std::string(kHead) +
                          ".......... done\n"
                          "  background CPU: 5.0% average / 5.0% peak\n"
                          "  available memory: 585 MB of 16384 MB\n"
                          "  processes: 1000\n");
    EXPECT_EQ(g_script.sleeps, 10);
    EXPECT_EQ(o.stats.sample_seconds, 10);
    EXPECT_DOUBLE_EQ(o.stats.background_cpu_average_percent, 5.0);
    EXPECT_DOUBLE_EQ(o.stats.background_cpu_peak_percent, 5.0);
    EXPECT_EQ(o.stats.available_memory_mb, 585);  // 614,400,000 bytes
    EXPECT_EQ(o.stats.process_count, 1000);
}

TEST(BackgroundCheck, StalledAndFailedReadsAreMeasuredAgainstTheLastKeptFigures) {
    Script s;
    s.ticks = {{true, 1000, 500},   // baseline
               {true, 1100, 550},   // 50%
               {true, 1100, 560},   // total did not grow: dropped
               {false, 9999, 0},    // failed read: dropped
               {true, 1300, 560},   // against 1100/550: 190 of 200 busy = 95%
               {true, 1200, 560},   // total went back: dropped
               {true, 1400, 660}};  // 0%; the remaining rounds fail (script exhausted)
    const Outcome o = run_script(s);
    EXPECT_EQ(o.stats.sample_seconds, 3);
    EXPECT_DOUBLE_EQ(o.stats.background_cpu_peak_percent, 95.0);
    EXPECT_DOUBLE_EQ(o.stats.background_cpu_average_percent, (50.0 + 95.0 + 0.0) / 3);
    EXPECT_EQ(o.text.substr(0, sizeof kHead - 1 + 16), std::string(kHead) + ".......... done\n");
    EXPECT_NE(o.text.find("  background CPU: 48.3% average / 95.0% peak\n"), std::string::npos);
    EXPECT_NE(o.text.find(kWarning), std::string::npos);

    // Idle that grew more than the total gives no negative load.
    Script odd;
    odd.ticks = {{true, 1000, 500}, {true, 1100, 700}};
    EXPECT_DOUBLE_EQ(run_script(odd).stats.background_cpu_peak_percent, 0.0);
}

TEST(BackgroundCheck, EverySampleDropped) {
    Script s;
    s.ticks = {{true, 1000, 500}};  // every later read fails
    Outcome o = run_script(s);
    EXPECT_EQ(o.text, std::string(kHead) + ".......... done\n");
    EXPECT_EQ(o.stats.sample_seconds, 0);
    EXPECT_EQ(o.stats.background_cpu_average_percent, 0.0);
    EXPECT_EQ(o.stats.background_cpu_peak_percent, 0.0);
    EXPECT_EQ(o.stats.available_memory_mb, 585);  // still measured for the document
    EXPECT_EQ(o.stats.process_count, 1000);

    Script frozen = steady(0, 0);  // counters that never move
    o = run_script(frozen);
    EXPECT_EQ(o.text, std::string(kHead) + ".......... done\n");
    EXPECT_EQ(o.stats.sample_seconds, 0);
}

TEST(BackgroundCheck, BaselineFailure) {
    Script s;
    s.ticks = {{false, 0, 0}};
    const Outcome o = run_script(s);
    EXPECT_EQ(o.text, std::string(kHead) + "... unavailable\n");
    EXPECT_EQ(g_script.sleeps, 0);
    EXPECT_EQ(g_script.memory_reads, 0);
    EXPECT_EQ(o.stats.sample_seconds, kBackgroundSkipped.sample_seconds);
    EXPECT_EQ(o.stats.background_cpu_average_percent, 0.0);
    EXPECT_EQ(o.stats.background_cpu_peak_percent, 0.0);
    EXPECT_EQ(o.stats.available_memory_mb, -1);
    EXPECT_EQ(o.stats.process_count, -1);
}

TEST(BackgroundCheck, WarningThreshold) {
    Outcome o = run_script(steady(1000, 900));  // exactly 10.0%
    EXPECT_DOUBLE_EQ(o.stats.background_cpu_average_percent, 10.0);
    EXPECT_NE(o.text.find("  background CPU: 10.0% average / 10.0% peak\n"), std::string::npos);
    EXPECT_EQ(o.text.substr(o.text.size() - (sizeof kWarning - 1)), kWarning);

    o = run_script(steady(2000, 1801));  // 9.95%
    EXPECT_NEAR(o.stats.background_cpu_average_percent, 9.95, 1e-12);
    EXPECT_EQ(o.text.find("warning"), std::string::npos);
}

TEST(BackgroundCheck, MissingMemoryAndProcessFigures) {
    Script s = steady(100, 50);  // 50%: the warning follows the CPU line
    s.memory_ok = false;
    s.processes_ok = false;
    const Outcome o = run_script(s);
    EXPECT_EQ(o.text, std::string(kHead) + ".......... done\n  background CPU: 50.0% average / 50.0% peak\n" + kWarning);
    EXPECT_EQ(o.stats.available_memory_mb, -1);
    EXPECT_EQ(o.stats.process_count, -1);
    EXPECT_EQ(o.stats.sample_seconds, 10);
}

TEST(BackgroundCheck, MachArithmetic) {
    EXPECT_EQ(mach_process_count(648000), 1000);
    EXPECT_EQ(mach_process_count(647), 0);
    EXPECT_EQ(mach_available_bytes(100000, 50000, 4096) >> 20, 585u);
    EXPECT_EQ(mach_available_bytes(1u << 30, 1u << 30, 16384), 1ull << 45);  // no 32-bit overflow

    // User and system are added at 32 bits, idle and nice at 64.
    CpuTicks t = mach_cpu_ticks(0xFFFFFFFFu, 2, 10, 5);
    EXPECT_EQ(t.total, 1u + 10u + 5u);
    EXPECT_EQ(t.idle, 10u);
    t = mach_cpu_ticks(1, 2, 0xFFFFFFFFu, 0xFFFFFFFFu);
    EXPECT_EQ(t.total, 3ull + 2ull * 0xFFFFFFFFull);
}

TEST(BackgroundLinux, FixtureReadings) {
    struct {
        const char* machine;
        uint64_t total, idle, available_mb;
        int64_t processes;
    } const cases[] = {
        {"server2s", 60377929, 46845166, 175902, 5},
        {"vm-nodmi", 9158308, 9025585, 7217, 4},  // guest fields absent
        {"laptop-hybrid", 34029211, 30159457, 23548, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.machine);
        const std::string root = fixture_root(c.machine);
        CpuTicks t{};
        ASSERT_TRUE(linux_cpu_ticks(root.c_str(), &t));
        EXPECT_EQ(t.total, c.total);
        EXPECT_EQ(t.idle, c.idle);
        uint64_t bytes = 0;
        ASSERT_TRUE(linux_available_memory_bytes(root.c_str(), &bytes));
        EXPECT_EQ(bytes >> 20, c.available_mb);
        int64_t processes = 0;
        ASSERT_TRUE(linux_process_count(root.c_str(), &processes));
        EXPECT_EQ(processes, c.processes);
    }

    // The whole check on a frozen snapshot: no tick moves, so no sample counts,
    // while memory and processes are still read.
    const std::string root = fixture_root("server2s");
    BackgroundSource source = system_background_source(root.c_str());
    g_script = Script{};
    source.sleep_seconds = script_sleep;
    const Outcome o = run_check(source);
    EXPECT_EQ(o.text, std::string(kHead) + ".......... done\n");
    EXPECT_EQ(g_script.sleeps, 10);
    EXPECT_EQ(o.stats.sample_seconds, 0);
    EXPECT_EQ(o.stats.available_memory_mb, 175902);
    EXPECT_EQ(o.stats.process_count, 5);
}

TEST(BackgroundLinux, BrokenFiles) {
    TempTree tree;
    CpuTicks t{};
    uint64_t bytes = 0;
    int64_t processes = 0;
    EXPECT_FALSE(linux_cpu_ticks(tree.root(), &t));
    EXPECT_FALSE(linux_available_memory_bytes(tree.root(), &bytes));
    EXPECT_FALSE(linux_process_count(tree.root(), &processes));

    tree.write("/proc/stat", "cpu  1 2 3\ncpu0 1 2 3 4\n");  // too few counters
    tree.write("/proc/meminfo", "MemTotal: 100 kB\n");    // no MemAvailable (kernels before 3.14)
    tree.mkdir("/proc/self");
    tree.mkdir("/proc/12a");
    EXPECT_FALSE(linux_cpu_ticks(tree.root(), &t));
    EXPECT_FALSE(linux_available_memory_bytes(tree.root(), &bytes));
    ASSERT_TRUE(linux_process_count(tree.root(), &processes));
    EXPECT_EQ(processes, 0);

    tree.write("/proc/stat", "cpu  " + std::string(5000, '1') + " 2 3 4\n");  // overlong line
    EXPECT_FALSE(linux_cpu_ticks(tree.root(), &t));
    tree.write("/proc/stat", "");
    EXPECT_FALSE(linux_cpu_ticks(tree.root(), &t));

    // The check as a whole on a tree without /proc/stat reports itself unavailable.
    const Outcome o = run_check(system_background_source(tree.root()));
    EXPECT_EQ(o.text, std::string(kHead) + "... unavailable\n");
    EXPECT_EQ(o.stats.available_memory_mb, -1);
}

}  // namespace

// The background check's sampling, drop rules and printing over scripted tick
// counters, and the Mach arithmetic (the Linux readings are in test_probe.cc).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sysenv/sysenv_seams.h"
#include "tree_util.h"

namespace {

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

// The engine: parallel dispatch runs every slot once on its own workspace,
// with the same sum however many threads could actually be created; the
// measurement policy's calibration rule, the summary of the measured runs,
// and the loop that joins them around a dispatch.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/dispatch.h"
#include "engine/measure.h"

namespace {

std::vector<Workspace> make_workspaces(int n) {
    std::vector<Workspace> ws(n);
    // Tag each workspace so a run function can tell which one it got.
    for (int i = 0; i < n; ++i) ws[i].sieve = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(i + 1));
    return ws;
}

uint64_t by_workspace(uint64_t iterations, Workspace* ws) {
    return iterations * reinterpret_cast<uintptr_t>(ws->sieve);
}
uint64_t near_wrap(uint64_t, Workspace*) { return 0xFFFFFFFFFFFFFFF0ull; }

std::atomic<int> g_calls{0};
std::atomic<size_t> g_largest_stack{0};
int create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    ++g_calls;
    size_t stack = SIZE_MAX;  // the system default when no attributes are given
    if (a != nullptr) pthread_attr_getstacksize(a, &stack);
    if (stack > g_largest_stack) g_largest_stack = stack;
    return pthread_create(t, a, f, arg);
}
int failing_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    ++g_calls;
    return 11;  // EAGAIN
}
int every_other_fails(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    return (g_calls++ % 2) ? 11 : pthread_create(t, a, f, arg);
}

TEST(Dispatch, EveryShareRunsOnceWhateverThreadsCouldBeStarted) {
    const struct {
        ThreadCreateFn create;
        RunFn fn;
        int n;
        uint64_t sum;
        int not_started;
    } cases[] = {
        // by_workspace sums 3 x (i + 1) over the workspaces: each exactly once.
        {create, by_workspace, 1, 3, 0},         {create, by_workspace, 2, 9, 0},
        {create, by_workspace, 8, 108, 0},       {failing_create, by_workspace, 2, 9, 1},
        {failing_create, by_workspace, 6, 63, 5}, {every_other_fails, by_workspace, 6, 63, 2},
        {create, near_wrap, 4, 0xFFFFFFFFFFFFFFC0ull, 0},  // the sum wraps
    };
    g_largest_stack = 0;
    for (const auto& c : cases) {
        auto ws = make_workspaces(c.n);
        g_calls = 0;
        int32_t not_started = -1;
        EXPECT_EQ(dispatch_with(c.fn, 3, c.n, ws.data(), c.create, &not_started), c.sum) << c.n;
        EXPECT_EQ(not_started, c.not_started) << c.n;
        EXPECT_EQ(g_calls, c.n - 1) << c.n;
    }
    // Workers get a small explicit stack, not the default reservation.
    EXPECT_GE(g_largest_stack.load(), static_cast<size_t>(PTHREAD_STACK_MIN));
    EXPECT_LE(g_largest_stack.load(), size_t{1} << 20);
}

TEST(Dispatch, RealDispatchUsesTheGlobalWorkspaces) {
    auto ws = make_workspaces(3);
    Workspace* saved = g_ws;
    g_ws = ws.data();
    EXPECT_EQ(dispatch(by_workspace, 1, 3), 6u);
    g_ws = saved;
}

TEST(Calibration, NextCountFromTheLastRun) {
    const struct {
        uint64_t n;
        double seconds;
        uint64_t next;
        const char* why;
    } cases[] = {
        {10, 0.000999, 80, "below the floor: times 8, nothing added"},
        {10, 0.001, 81, "exactly the floor: factor 520 lowered to 8, plus 1"},
        {20, 0.06, 161, "0.52 / 0.06 = 8.67 lowered to 8"},
        {10, 0.2, 27, "0.2 s grows by 2.6"},
        {10, 0.39, 16, "0.39 s grows by the minimum 1.5"},
        {1, 0.39, 2, "the count grows even where 1.5 truncates back to it"},
        {1ull << 40, 0.26, (1ull << 41) + 1, "large counts stay exact"},
    };
    for (const auto& c : cases) EXPECT_EQ(next_calibration_count(c.n, c.seconds), c.next) << c.why;
}

// A dispatch that "takes" the next scripted duration and returns the next
// scripted checksum; the clock reads 0 before a run and its duration after.
struct Script {
    std::vector<double> durations;
    std::vector<uint64_t> checksums;
    std::vector<uint64_t> counts;  // iteration counts seen, in order
    int readings = 0;
};
Script* g_script = nullptr;

double fake_clock() {
    Script& s = *g_script;
    if (s.readings++ % 2 == 0) return 0.0;
    return s.counts.size() <= s.durations.size() ? s.durations[s.counts.size() - 1] : 0.5;
}

uint64_t fake_dispatch(RunFn, uint64_t iterations, int32_t threads, int32_t* not_started) {
    Script& s = *g_script;
    s.counts.push_back(iterations);
    *not_started = threads - 1;
    return s.checksums.size() >= s.counts.size() ? s.checksums[s.counts.size() - 1] : 7;
}

TestResult measure(Script* script, PassNotes* notes = nullptr) {
    g_script = script;
    const TestInfo test = {"Scripted Test", "detail", nullptr, 20, 1.0, "Mops/s"};
    const EngineSeams seams = {fake_clock, fake_dispatch};
    TestResult r{};
    run_test_with(&r, &test, 3, notes, &seams);
    return r;
}

TEST(Calibration, TheRunEndingCalibrationIsTheFirstMeasuredRun) {
    Script s;
    s.durations = {0.06, 0.01, 0.4, 0.3, 0.5};
    s.checksums = {1, 2, 9, 9, 9};  // the calibration runs' checksums do not count
    PassNotes notes{};
    const TestResult r = measure(&s, &notes);
    EXPECT_EQ(s.counts, (std::vector<uint64_t>{20, 161, 1289, 1289, 1289}));
    EXPECT_EQ(r.iterations, 1289u);
    EXPECT_EQ(r.threads, 3);
    EXPECT_DOUBLE_EQ(r.seconds, 0.4);  // the mean of the measured runs
    EXPECT_DOUBLE_EQ(r.rate, 0.0096675);  // all threads together: 1289 x 3 x 1.0 / 0.4 s, in millions
    EXPECT_EQ(r.checksum, 9u);
    EXPECT_TRUE(notes.fastest == 0.3 && notes.slowest == 0.5 && notes.threads_not_started == 2);
}

// Measures a pass whose measured runs give the three checksums; returning
// at all means the mismatch was not caught.
void measure_with_checksums(uint64_t c1, uint64_t c2, uint64_t c3) {
    Script s;
    s.durations = {0.5, 0.5, 0.5, 0.5};
    s.checksums = {c1, c2, c3};
    measure(&s);
    std::fprintf(stderr, "runs made: %zu\n", s.counts.size());
    std::exit(0);
}

TEST(CalibrationDeathTest, MeasuredRunsThatDisagreeEndTheProcess) {
    // The message names the differing run first, and no third run follows a bad second.
    EXPECT_EXIT(measure_with_checksums(11, 12, 11), ::testing::ExitedWithCode(2),
                "^quillmoth: Scripted Test is non-deterministic \\(checksum 12 != 11\\)\n$");
    EXPECT_EXIT(measure_with_checksums(18446744073709551615ull, 18446744073709551615ull, 0),
                ::testing::ExitedWithCode(2), "checksum 0 != 18446744073709551615\\)");
}

}  // namespace

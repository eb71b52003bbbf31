// Parallel dispatch: every slot runs once on its own workspace, and the sum
// is the same however many threads could actually be created.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <vector>

#include "engine/dispatch.h"

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

}  // namespace

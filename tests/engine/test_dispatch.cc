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
int create_and_record(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
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
        int n;
        int not_started;
    } cases[] = {
        {create_and_record, 1, 0}, {create_and_record, 2, 0}, {create_and_record, 8, 0},
        {failing_create, 2, 1},    {failing_create, 6, 5},    {every_other_fails, 6, 2},
    };
    for (const auto& c : cases) {
        auto ws = make_workspaces(c.n);
        g_calls = 0;
        int32_t not_started = -1;
        // sum over i of iterations x (i + 1): each workspace exactly once
        EXPECT_EQ(dispatch_with(by_workspace, 3, c.n, ws.data(), c.create, &not_started), 3ull * c.n * (c.n + 1) / 2)
            << c.n;
        EXPECT_EQ(not_started, c.not_started) << c.n;
        EXPECT_EQ(g_calls, c.n - 1) << c.n;
    }
}

TEST(Dispatch, WorkersGetASmallExplicitStack) {
    auto ws = make_workspaces(4);
    g_largest_stack = 0;
    dispatch_with(by_workspace, 1, 4, ws.data(), create_and_record);
    EXPECT_GE(g_largest_stack.load(), static_cast<size_t>(PTHREAD_STACK_MIN));
    EXPECT_LE(g_largest_stack.load(), size_t{1} << 20);
}

TEST(Dispatch, SumWrapsAndTheRealDispatchUsesTheGlobalWorkspaces) {
    auto ws = make_workspaces(4);
    EXPECT_EQ(dispatch_with(near_wrap, 1, 4, ws.data(), pthread_create), 0xFFFFFFFFFFFFFFC0ull);
    Workspace* saved = g_ws;
    g_ws = ws.data();
    EXPECT_EQ(dispatch(by_workspace, 1, 3), 6u);
    g_ws = saved;
}

}  // namespace

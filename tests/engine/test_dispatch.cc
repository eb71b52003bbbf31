// Parallel dispatch: every slot runs once on its own workspace, and the sum
// is the same however many threads could actually be created.
#include <gtest/gtest.h>

#include <atomic>
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

std::atomic<int> g_created{0};
int counting_create(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    ++g_created;
    return pthread_create(t, a, f, arg);
}
int failing_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return 11; /* EAGAIN */ }

std::atomic<int> g_calls{0};
int every_other_fails(pthread_t* t, const pthread_attr_t* a, void* (*f)(void*), void* arg) {
    return (g_calls++ % 2) ? 11 : pthread_create(t, a, f, arg);
}

}  // namespace

TEST(Dispatch, OneThreadCreatesNoThreadAndReturnsTheChecksum) {
    auto ws = make_workspaces(1);
    g_created = 0;
    EXPECT_EQ(dispatch_with(by_workspace, 5, 1, ws.data(), counting_create), 5u);
    EXPECT_EQ(g_created, 0);
}

TEST(Dispatch, EachThreadGetsItsOwnWorkspaceAndSumsAdd) {
    for (int n : {2, 3, 8}) {
        auto ws = make_workspaces(n);
        g_created = 0;
        // sum over i of iterations x (i + 1)
        const uint64_t want = 3ull * n * (n + 1) / 2;
        EXPECT_EQ(dispatch_with(by_workspace, 3, n, ws.data(), counting_create), want) << n;
        EXPECT_EQ(g_created, n - 1);
    }
}

TEST(Dispatch, SumWrapsModulo2To64) {
    auto ws = make_workspaces(4);
    EXPECT_EQ(dispatch_with(near_wrap, 1, 4, ws.data(), pthread_create), 0xFFFFFFFFFFFFFFC0ull);
}

TEST(Dispatch, FailedThreadCreationStillDoesAllTheWork) {
    auto ws = make_workspaces(6);
    const uint64_t want = 2ull * 6 * 7 / 2;
    EXPECT_EQ(dispatch_with(by_workspace, 2, 6, ws.data(), failing_create), want);
    g_calls = 0;
    EXPECT_EQ(dispatch_with(by_workspace, 2, 6, ws.data(), every_other_fails), want);
}

TEST(Dispatch, RealDispatchUsesTheGlobalWorkspaces) {
    auto ws = make_workspaces(3);
    Workspace* saved = g_ws;
    g_ws = ws.data();
    EXPECT_EQ(dispatch(by_workspace, 1, 3), 6u);
    g_ws = saved;
}

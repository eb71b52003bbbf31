// Memory kernels: the chase against a walk of the ring by node index, the
// two chase suites against each other, and the triad against fixed values.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/memory.h"

namespace {

constexpr uint64_t kRingBytes = kRingNodes * 8;

// Node index after each step of workspace w's ring from node 0: walk[s] is
// the node reached by s loads, for s = 0 .. kRingNodes. Walked once per
// workspace: every step is a cache and TLB miss.
const std::vector<uint32_t>& ring_walk(int w) {
    static std::vector<uint32_t> walks[2];
    std::vector<uint32_t>& walk = walks[w];
    if (walk.empty()) {
        const uint64_t* ring = g_ws[w].chase_ring;
        const uint64_t base = reinterpret_cast<uint64_t>(ring);
        walk.resize(kRingNodes + 1);
        uint64_t node = 0;
        for (size_t s = 0; s <= kRingNodes; ++s) {
            walk[s] = static_cast<uint32_t>(node);
            node = (ring[node] - base) / 8;
        }
    }
    return walk;
}

uint32_t float_bits(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

}  // namespace

TEST(Chase, FollowsTheRingFromNodeZero) {
    ensure_workloads();
    const uint64_t* ring = g_ws[0].chase_ring;
    const std::vector<uint32_t>& walk = ring_walk(0);
    ASSERT_EQ(walk[kRingNodes], 0u);
    for (size_t s = 1; s < kRingNodes; ++s) ASSERT_NE(walk[s], 0u) << "back at node 0 after " << s;

    EXPECT_EQ(qm_chase(ring, 0), 0u);
    EXPECT_EQ(qm_c_chase(ring, 0), 0u);
    EXPECT_EQ(qm_chase(ring, kRingNodes), 0u);
    EXPECT_EQ(qm_c_chase(ring, kRingNodes), 0u);
    for (uint64_t loads : {1ull, 2ull, 7ull, 8ull, 9ull, 63ull, 64ull, 65ull, 1000000ull, 2097151ull}) {
        const uint64_t raw = qm_chase(ring, loads);
        EXPECT_EQ(raw, 8ull * walk[loads]) << loads;
        EXPECT_NE(raw, 0u) << loads;
        EXPECT_EQ(raw % 8, 0u) << loads;
        EXPECT_LT(raw, kRingBytes) << loads;
        EXPECT_EQ(qm_c_chase(ring, loads), raw) << loads;
    }
    // Past one lap the chase goes on round the ring.
    EXPECT_EQ(qm_chase(ring, kRingNodes + 5), 8ull * walk[5]);
}

TEST(Chase, RunChaseSameInBothSuites) {
    ensure_workloads();
    uint64_t first[2] = {};
    for (int w = 0; w < 2; ++w) {
        SCOPED_TRACE(w);
        Workspace* ws = &g_ws[w];
        const std::vector<uint32_t>& walk = ring_walk(w);
        for (int backend : {0, 1}) {
            BackendScope scope(backend);
            EXPECT_EQ(run_chase(0, ws), 0u);
            // 1 again last: no position is carried from one call to the next.
            for (uint64_t it : {1ull, 2ull, 1ull}) {
                const uint64_t want = 8ull * walk[(it * 1000000) % kRingNodes];
                EXPECT_EQ(run_chase(it, ws), want) << "backend " << backend << " iterations " << it;
            }
        }
        first[w] = 8ull * walk[1000000];
    }
    // Every workspace has its own ring.
    EXPECT_NE(first[0], first[1]);
}

TEST(Stream, FixedResults) {
    ensure_workloads();
    for (int backend : {0, 1}) {
        SCOPED_TRACE(backend);
        BackendScope scope(backend);
        for (int w = 0; w < 2; ++w) {
            Workspace* ws = &g_ws[w];
            EXPECT_EQ(run_stream(0, ws), uint64_t{float_bits(ws->stream_c[0])});
            EXPECT_EQ(run_stream(0, ws), 0u);  // c[0] = 0 * s + 0 whenever a pass ran
            EXPECT_EQ(run_stream(1, ws), 0x3F70AA90u);
            EXPECT_EQ(run_stream(16, ws), 0x3F841480u);
            EXPECT_EQ(run_stream(1, ws), 0x3F70AA90u);  // same after earlier passes
            EXPECT_EQ(run_stream(0, ws), 0u);
        }
    }
}

TEST(Stream, WholePassMatchesScalarModel) {
    ensure_workloads();
    Workspace* ws = &g_ws[0];
    std::memset(ws->stream_c, 0xFF, kStreamElems * sizeof(float));  // NaNs: every element must be rewritten
    run_stream(1, ws);
    for (size_t i = 0; i < kStreamElems; ++i) {
        const float a = static_cast<float>(i % 1024) / 1024.0f;
        const float b = static_cast<float>((17 * i) % 1024) / 1024.0f;
        ASSERT_EQ(ws->stream_a[i], a) << i;
        ASSERT_EQ(ws->stream_b[i], b) << i;
        const float product = b * 1.0009765625f;  // rounded before the sum
        ASSERT_EQ(float_bits(ws->stream_c[i]), float_bits(product + a)) << i;
    }
}

// Memory kernels: both chase suites against a walk of each ring by node index,
// and the triad against fixed values and its own arrays.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/memory.h"

namespace {

TEST(Chase, BothSuitesFollowEachRing) {
    ensure_workloads();
    uint64_t after_one[2];
    for (int w = 0; w < 2; ++w) {
        SCOPED_TRACE(w);
        Workspace* ws = &g_ws[w];
        const uint64_t* ring = ws->chase_ring;
        // walk[s]: the node index reached by s loads from node 0. One cycle
        // through every node, so 1 .. kRingNodes - 1 loads end at a non-zero
        // node and the chase gives a non-zero multiple of 8 below 16 MiB.
        std::vector<uint32_t> walk(kRingNodes + 1);
        for (size_t s = 1; s <= kRingNodes; ++s) {
            walk[s] = static_cast<uint32_t>((ring[walk[s - 1]] - reinterpret_cast<uint64_t>(ring)) / 8);
            ASSERT_LT(walk[s], kRingNodes);
            ASSERT_EQ(walk[s] == 0, s == kRingNodes) << "back at node 0 after " << s;
        }
        for (uint64_t loads : {0ull, 1ull, 7ull, 8ull, 9ull, 65ull, 1000000ull, 2097151ull, 2097152ull}) {
            EXPECT_EQ(qm_chase(ring, loads), 8ull * walk[loads]) << loads;
            EXPECT_EQ(qm_c_chase(ring, loads), 8ull * walk[loads]) << loads;
        }
        EXPECT_EQ(qm_chase(ring, kRingNodes + 5), 8ull * walk[5]);  // on round the ring

        for (int backend : {0, 1}) {
            BackendScope scope(backend);
            EXPECT_EQ(run_chase(0, ws), 0u);
            // 1 again last: no position is carried from one call to the next.
            for (uint64_t it : {1ull, 2ull, 1ull})
                EXPECT_EQ(run_chase(it, ws), 8ull * walk[(it * 1000000) % kRingNodes])
                    << "backend " << backend << " iterations " << it;
        }
        after_one[w] = walk[1000000];
    }
    EXPECT_NE(after_one[0], after_one[1]);  // every workspace has its own ring
}

TEST(Stream, FixedResultsInBothSuitesAndEveryElementRewritten) {
    ensure_workloads();
    for (int backend : {0, 1}) {
        BackendScope scope(backend);
        for (int w = 0; w < 2; ++w) {
            SCOPED_TRACE(testing::Message() << "backend " << backend << " workspace " << w);
            Workspace* ws = &g_ws[w];
            EXPECT_EQ(run_stream(0, ws), std::bit_cast<uint32_t>(ws->stream_c[0]));
            EXPECT_EQ(run_stream(1, ws), 0x3F70AA90u);
            EXPECT_EQ(run_stream(16, ws), 0x3F841480u);
            EXPECT_EQ(run_stream(1, ws), 0x3F70AA90u);
            EXPECT_EQ(run_stream(0, ws), 0u);  // c[0] = 0 * s + 0 once a pass ran
        }
    }
    Workspace* ws = &g_ws[0];
    std::memset(ws->stream_c, 0xFF, kStreamElems * sizeof(float));  // NaNs
    run_stream(1, ws);
    for (size_t i = 0; i < kStreamElems; ++i) {
        const float want = ws->stream_b[i] * kTriadScalar + ws->stream_a[i];  // no fused multiply-add
        ASSERT_EQ(std::bit_cast<uint32_t>(ws->stream_c[i]), std::bit_cast<uint32_t>(want)) << i;
    }
}

}  // namespace

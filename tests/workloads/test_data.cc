// Workload data: the prepared bytes, and the same bytes
// whatever the number of preparation threads.
#include <gtest/gtest.h>

#include "workload_env.h"

namespace {

uint64_t mix(uint64_t h, const void* p, size_t n) {  // n: a multiple of 8
    for (size_t i = 0; i < n; i += 8) {
        uint64_t w;
        std::memcpy(&w, static_cast<const uint8_t*>(p) + i, 8);
        h = (h ^ w) * 0x100000001B3ull + i;
    }
    return h;
}

// Digest of the shared sources (element 0) and of each workspace's prepared
// buffers, rings taken as node indices.
std::vector<uint64_t> digest_workloads() {
    const std::pair<const void*, size_t> sources[] = {{g_corpus, kCorpusBytes}, {g_cipher_src, kCipherBytes},
                                                      {g_simd_src, kSimdBytes}, {g_bodies_src, kBodiesBytes},
                                                      {g_sort_src, kSortKeys * 4},  {g_key, 32}};
    std::vector<uint64_t> d(1, 0);
    for (auto [p, n] : sources) d[0] = mix(d[0], p, n);
    for (int64_t k = 0; k < g_ncores; ++k) {
        const std::vector<uint64_t> ring = ring_indices(g_ws[k].chase_ring);
        d.push_back(0);
        for (int i = 0; i < kWorkspaceBufferCount; ++i) {
            const void* p = workspace_buffer(&g_ws[k], i);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << i;
            if (g_workspace_buffers[i].fill != nullptr)
                d.back() = mix(d.back(), p == g_ws[k].chase_ring ? ring.data() : p, g_workspace_buffers[i].bytes);
        }
    }
    return d;
}

std::vector<uint64_t> prepared_digest(int64_t workspaces, int64_t threads, CreateThreadFn create = pthread_create) {
    if (g_ws != nullptr) release_workloads();
    g_ncores = workspaces;
    prepare_workloads_with(threads, create);
    std::vector<uint64_t> d = digest_workloads();
    release_workloads();
    return d;
}

int no_thread(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return 11; /* EAGAIN */ }

}  // namespace

// The prepared bytes themselves, which every checksum of a run depends on:
// digests of the sources and of workspaces 0 and 1 (ring 1 continuing the
// generator where ring 0 left it).
TEST(Workloads, PreparedBytesNeverChange) {
    EXPECT_EQ(prepared_digest(2, 1), (std::vector<uint64_t>{0x54F82E9159955D59ull, 0x37CC263BA180CA5Eull,
                                                             0x675A8D2384DAE880ull}));
}

TEST(Workloads, SameBytesForEveryThreadCount) {
    // Fewer threads than workspaces, one each, and more; more workspaces than
    // a two-core machine has cores; a thread that cannot start leaves its
    // share to the caller.
    const std::vector<uint64_t> sequential = prepared_digest(3, 1);
    ASSERT_EQ(sequential.size(), 4u);
    for (int64_t threads : {2, 3, 64}) EXPECT_EQ(prepared_digest(3, threads), sequential) << threads;
    EXPECT_EQ(prepared_digest(3, 3, no_thread), sequential);
    // The sources and workspace 0 do not depend on the number of workspaces.
    const std::vector<uint64_t> one = prepared_digest(1, 1);
    EXPECT_EQ(one, std::vector<uint64_t>(sequential.begin(), sequential.begin() + 2));
}

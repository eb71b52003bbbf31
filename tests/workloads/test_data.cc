// Workload data: the generator, the corpus, the draw order of the sources,
// the rings, and the same bytes whatever the number of preparation threads.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

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

TEST(Generator, DrawsAreSplitMix64FromTheSeedAndPositionAddressable) {
    rng_state = 0;
    EXPECT_EQ(rng_next(), 0xE220A8397B1DCDAFull);  // published SplitMix64 outputs for seed 0
    EXPECT_EQ(rng_next(), 0x6E789E6AA1B965F4ull);
    rng_state = kWorkloadSeed;
    for (uint64_t d = 1; d <= 1000; ++d) ASSERT_EQ(rng_next(), rng_draw_at(kWorkloadSeed, d)) << d;
}

TEST(Corpus, ExactlyFourMiBOfWholeWordsEndingInASeparator) {
    std::vector<uint8_t> corpus(kCorpusBytes + 1, 0xAB);
    rng_state = kWorkloadSeed;
    build_corpus(corpus.data());
    EXPECT_EQ(corpus[kCorpusBytes], 0xAB) << "wrote past the corpus";
    const std::string words =
        " the quick brown fox jumps over lazy dog benchmark processor assembly vector memory cache pipeline "
        "instruction compress data system performance register kernel ";
    size_t p = 0, line_feeds = 0, separators = 0;
    while (p < kCorpusBytes && corpus[p] != ' ') {
        size_t e = p;
        while (e < kCorpusBytes && corpus[e] != ' ' && corpus[e] != '\n') ++e;
        ASSERT_LT(e, kCorpusBytes) << "a word runs into the end";
        std::string word(1, ' ');
        word.append(reinterpret_cast<const char*>(&corpus[p]), e - p).push_back(' ');
        ASSERT_NE(words.find(word), std::string::npos) << p;
        line_feeds += corpus[e] == '\n';
        ++separators;
        p = e + 1;
    }
    for (size_t i = p; i < kCorpusBytes; ++i) ASSERT_EQ(corpus[i], ' ') << i;  // only padding after the last word
    EXPECT_GT(separators, 400000u);
    EXPECT_NEAR(static_cast<double>(line_feeds) / separators, 0.125, 0.01);  // one separator in eight
}

TEST(Workloads, SourcesFollowTheirDrawsAndBuffersAreFilled) {
    ensure_workloads();
    // Recompute first values from the generator state after the corpus.
    std::vector<uint8_t> corpus(kCorpusBytes);
    rng_state = kWorkloadSeed;
    build_corpus(corpus.data());
    const uint64_t s = rng_state, bodies = s + (kCipherBytes + 32 + kSimdBytes + kSortKeys) * 0x9E3779B97F4A7C15ull;
    EXPECT_EQ(g_key[0], static_cast<uint8_t>(rng_draw_at(s, kCipherBytes + 1)));
    EXPECT_EQ(g_sort_src[0], static_cast<uint32_t>(rng_draw_at(s, kCipherBytes + 32 + kSimdBytes + 1)));
    EXPECT_EQ(g_bodies_src[0].x, static_cast<double>(rng_draw_at(bodies, 1) % 2000) / 1000.0 - 1.0);
    EXPECT_EQ(g_bodies_src[0].m, static_cast<double>(rng_draw_at(bodies, 4) % 900) / 1000.0 + 0.1);
    EXPECT_EQ(g_bodies_src[kBodyCount - 1].vz, 0.0);

    const Workspace& ws = g_ws[1];
    for (int i = 0; i < kWorkspaceBufferCount; ++i)
        EXPECT_EQ(reinterpret_cast<uintptr_t>(workspace_buffer(&ws, i)) % 64, 0u) << i;
    EXPECT_EQ(0, std::memcmp(ws.cipher_buf, g_cipher_src, kCipherBytes));
    EXPECT_EQ(0, std::memcmp(ws.simd_block, g_simd_src, kSimdBytes));
}

TEST(Workloads, RingIsTheSequentialSattoloCycle) {
    // Drawn one by one from a state, the shuffle links exactly this cycle.
    const uint64_t start = 0x0123456789ABCDEFull;
    std::vector<uint64_t> order(kRingNodes), want(kRingNodes), ring(kRingNodes), scratch(kRingNodes);
    for (uint64_t i = 0; i < kRingNodes; ++i) order[i] = i;
    rng_state = start;
    for (uint64_t i = kRingNodes - 1; i >= 1; --i) std::swap(order[i], order[rng_next() % i]);
    for (uint64_t k = 0; k < kRingNodes; ++k) want[order[k]] = order[(k + 1) % kRingNodes];
    build_ring(ring.data(), start, scratch.data());
    EXPECT_EQ(ring_indices(ring.data()), want);
    // One cycle: back at node 0 after exactly N steps.
    uint64_t n = 0, steps = 0;
    do n = want[n];
    while (++steps < kRingNodes && n != 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(steps, kRingNodes);

    // Ring 1 continues the generator where ring 0 (with one thread, the last
    // draws of preparation) left it.
    if (g_ws != nullptr) release_workloads();
    g_ncores = 1;
    prepare_workloads();
    build_ring(ring.data(), rng_state, scratch.data());
    const std::vector<uint64_t> ring0 = ring_indices(g_ws[0].chase_ring), ring1 = ring_indices(ring.data());
    release_workloads();
    g_ncores = 2;
    prepare_workloads();
    EXPECT_EQ(ring_indices(g_ws[0].chase_ring), ring0);
    EXPECT_EQ(ring_indices(g_ws[1].chase_ring), ring1);
    EXPECT_NE(ring0, ring1);
}

TEST(Workloads, SameBytesForEveryThreadCount) {
    // More workspaces and threads than this machine has cores; a thread that
    // cannot start leaves its share to the caller.
    const std::vector<uint64_t> sequential = prepared_digest(5, 1);
    ASSERT_EQ(sequential.size(), 6u);
    for (int64_t threads : {2, 3, 5, 64}) EXPECT_EQ(prepared_digest(5, threads), sequential) << threads;
    EXPECT_EQ(prepared_digest(5, 5, no_thread), sequential);
    // The sources and workspace 0 do not depend on the number of workspaces.
    const std::vector<uint64_t> one = prepared_digest(1, 1);
    EXPECT_EQ(one, std::vector<uint64_t>(sequential.begin(), sequential.begin() + 2));
}

// Workload data: the generator, the corpus, the rings and the fixed fills.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "workload_env.h"

namespace {

// The steps from node 0 until the chase comes back to node 0.
uint64_t ring_cycle_length(const uint64_t* ring) {
    const uint64_t* p = ring;
    uint64_t steps = 0;
    do {
        p = reinterpret_cast<const uint64_t*>(*p);
        ++steps;
    } while (p != ring && steps <= kRingNodes);
    return steps;
}

struct Snapshot {
    std::vector<uint8_t> corpus, cipher, simd, sort, bodies;
    std::vector<uint64_t> ring0_offsets;  // ring as node indices: address-free
    uint8_t key[32];
};

Snapshot take_snapshot(int64_t ncores, std::vector<std::vector<uint64_t>>* rings) {
    if (g_ws != nullptr) release_workloads();
    g_ncores = ncores;
    prepare_workloads();
    Snapshot s;
    s.corpus.assign(g_corpus, g_corpus + kCorpusBytes);
    s.cipher.assign(g_cipher_src, g_cipher_src + kCipherBytes);
    s.simd.assign(g_simd_src, g_simd_src + kSimdBytes);
    s.sort.assign(reinterpret_cast<uint8_t*>(g_sort_src), reinterpret_cast<uint8_t*>(g_sort_src + kSortKeys));
    s.bodies.assign(reinterpret_cast<uint8_t*>(g_bodies_src), reinterpret_cast<uint8_t*>(g_bodies_src) + kBodiesBytes);
    std::memcpy(s.key, g_key, 32);
    for (int64_t k = 0; k < ncores; ++k) {
        std::vector<uint64_t> idx(kRingNodes);
        const uint64_t* ring = g_ws[k].chase_ring;
        for (size_t n = 0; n < kRingNodes; ++n) idx[n] = (ring[n] - reinterpret_cast<uint64_t>(ring)) / 8;
        rings->push_back(std::move(idx));
    }
    release_workloads();
    return s;
}

}  // namespace

TEST(Generator, DrawsAreSplitMix64FromTheSeedAndPositionAddressable) {
    rng_state = 0;
    // First SplitMix64 outputs for seed 0 are well known.
    EXPECT_EQ(rng_next(), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(rng_next(), 0x6E789E6AA1B965F4ull);
    rng_state = kWorkloadSeed;
    for (uint64_t d = 1; d <= 1000; ++d) ASSERT_EQ(rng_next(), rng_draw_at(kWorkloadSeed, d)) << d;
}

TEST(Corpus, ExactlyFourMiBOfWholeWordsEndingInASeparator) {
    std::vector<uint8_t> corpus(kCorpusBytes + 1, 0xAB);
    rng_state = kWorkloadSeed;
    build_corpus(corpus.data());
    EXPECT_EQ(corpus[kCorpusBytes], 0xAB) << "wrote past the corpus";
    const uint8_t last = corpus[kCorpusBytes - 1];
    EXPECT_TRUE(last == ' ' || last == '\n');

    static const char* const words[] = {"the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog",
                                        "benchmark", "processor", "assembly", "vector", "memory", "cache",
                                        "pipeline", "instruction", "compress", "data", "system",
                                        "performance", "register", "kernel"};
    size_t p = 0, line_feeds = 0, separators = 0;
    while (p < kCorpusBytes && corpus[p] != ' ') {
        size_t e = p;
        while (e < kCorpusBytes && corpus[e] != ' ' && corpus[e] != '\n') ++e;
        ASSERT_LT(e, kCorpusBytes) << "a word runs into the end";
        bool known = false;
        for (const char* w : words) known |= strlen(w) == e - p && std::memcmp(w, &corpus[p], e - p) == 0;
        ASSERT_TRUE(known) << "unknown word at " << p;
        line_feeds += corpus[e] == '\n';
        ++separators;
        p = e + 1;
    }
    // Whatever follows the last word is only padding spaces.
    for (size_t i = p; i < kCorpusBytes; ++i) ASSERT_EQ(corpus[i], ' ') << i;
    EXPECT_GT(separators, 400000u);
    // One separator in eight is a line feed, on average.
    EXPECT_NEAR(static_cast<double>(line_feeds) / separators, 0.125, 0.01);
}

TEST(Workloads, SharedSourcesAndFirstRingDoNotDependOnThreadCount) {
    std::vector<std::vector<uint64_t>> rings1, rings4;
    const Snapshot one = take_snapshot(1, &rings1);
    const Snapshot four = take_snapshot(4, &rings4);
    EXPECT_EQ(one.corpus, four.corpus);
    EXPECT_EQ(one.cipher, four.cipher);
    EXPECT_EQ(one.simd, four.simd);
    EXPECT_EQ(one.sort, four.sort);
    EXPECT_EQ(one.bodies, four.bodies);
    EXPECT_EQ(0, std::memcmp(one.key, four.key, 32));
    ASSERT_EQ(rings4.size(), 4u);
    EXPECT_EQ(rings1[0], rings4[0]);
    // Each ring continues the generator, so no two rings are alike.
    EXPECT_NE(rings4[0], rings4[1]);
    EXPECT_NE(rings4[1], rings4[2]);
    EXPECT_NE(rings4[2], rings4[3]);

    // Ring 1 continues the generator exactly where ring 0 left it.
    g_ncores = 1;
    prepare_workloads();
    std::vector<uint64_t> raw(kRingNodes);
    build_ring(raw.data());  // continues where ring 0 left the generator
    for (size_t n = 0; n < kRingNodes; ++n) raw[n] = (raw[n] - reinterpret_cast<uint64_t>(raw.data())) / 8;
    release_workloads();
    EXPECT_EQ(raw, rings4[1]);
}

TEST(Workloads, BuffersAlignedCopiedAndFilled) {
    ensure_workloads();
    const Workspace& ws = g_ws[0];
    const void* buffers[] = {ws.sieve, ws.hash_table, ws.cipher_buf, ws.simd_block, ws.bodies,
                             ws.sort_keys, ws.chase_ring, ws.stream_a, ws.stream_b, ws.stream_c,
                             g_corpus, g_cipher_src, g_simd_src, g_bodies_src, g_sort_src, g_ws, g_key};
    for (const void* b : buffers) EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % (b == g_key ? 16 : 64), 0u);

    EXPECT_EQ(0, std::memcmp(ws.cipher_buf, g_cipher_src, kCipherBytes));
    EXPECT_EQ(0, std::memcmp(ws.simd_block, g_simd_src, kSimdBytes));
    EXPECT_EQ(ws.stream_a[1023], 0.9990234375f);
    EXPECT_EQ(ws.stream_a[1024], 0.0f);
    EXPECT_EQ(ws.stream_b[1], 0.0166015625f);
    EXPECT_EQ(ws.stream_b[61], 13.0f / 1024.0f);
    EXPECT_EQ(ws.stream_c[12345], 0.0f);
    EXPECT_FALSE(std::signbit(ws.stream_c[0]));

    for (size_t b = 0; b < kBodyCount; ++b) {
        const Body& body = g_bodies_src[b];
        ASSERT_GE(body.x, -1.0);
        ASSERT_LT(body.x, 1.0);
        ASSERT_GE(body.m, 0.1);
        ASSERT_LT(body.m, 1.0);
        ASSERT_EQ(body.vx, 0.0);
        ASSERT_EQ(body.reserved, 0.0);
    }
}

TEST(Workloads, EveryRingIsOneCycleThroughAllNodes) {
    ensure_workloads();
    for (int64_t k = 0; k < g_ncores; ++k) EXPECT_EQ(ring_cycle_length(g_ws[k].chase_ring), kRingNodes) << k;
}

TEST(Workloads, BodiesFollowTheirDraws) {
    // Bodies come after the corpus and the byte sources; recompute the first
    // body from the generator state just before the bodies were drawn.
    ensure_workloads();
    std::vector<uint8_t> corpus(kCorpusBytes);
    rng_state = kWorkloadSeed;
    build_corpus(corpus.data());
    const uint64_t before_bodies = rng_state + (kCipherBytes + 32 + kSimdBytes + kSortKeys) * 0x9E3779B97F4A7C15ull;
    const uint64_t d1 = rng_draw_at(before_bodies, 1), d4 = rng_draw_at(before_bodies, 4);
    EXPECT_EQ(g_bodies_src[0].x, static_cast<double>(d1 % 2000) / 1000.0 - 1.0);
    EXPECT_EQ(g_bodies_src[0].m, static_cast<double>(d4 % 900) / 1000.0 + 0.1);
    EXPECT_EQ(g_key[0], static_cast<uint8_t>(rng_draw_at(rng_state, kCipherBytes + 1)));
    EXPECT_EQ(g_sort_src[0], static_cast<uint32_t>(rng_draw_at(rng_state, kCipherBytes + 32 + kSimdBytes + 1)));
}

TEST(Workloads, RingMatchesAPlainSequentialSattoloShuffle) {
    // The ring builder computes its draws ahead of time; it must link exactly
    // the cycle that drawing one by one gives.
    const uint64_t start = 0x0123456789ABCDEFull;
    std::vector<uint64_t> order(kRingNodes);
    for (uint64_t i = 0; i < kRingNodes; ++i) order[i] = i;
    rng_state = start;
    for (uint64_t i = kRingNodes - 1; i >= 1; --i) std::swap(order[i], order[rng_next() % i]);
    const uint64_t state_after = rng_state;
    std::vector<uint64_t> want(kRingNodes);
    for (uint64_t k = 0; k < kRingNodes; ++k) want[order[k]] = order[(k + 1) % kRingNodes];

    std::vector<uint64_t> ring(kRingNodes);
    rng_state = start;
    build_ring(ring.data());
    EXPECT_EQ(rng_state, state_after) << "the builder must use up exactly N - 1 draws";
    for (uint64_t n = 0; n < kRingNodes; ++n)
        ASSERT_EQ((ring[n] - reinterpret_cast<uint64_t>(ring.data())) / 8, want[n]) << n;
}

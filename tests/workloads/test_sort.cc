// Sorting kernels: the hand-written heapsort and sift-down against std::sort
// and their portable twins, and the two checksum chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/sort.h"

namespace {

using Keys = std::vector<uint32_t>;

// The checksum chains over sorted keys: RAW h = rotr(h ^ k, 7) + k, REAL
// h = (rotr(h, 7) ^ k) + k.
uint64_t chain(const Keys& sorted, int suite) {
    uint64_t h = 0;
    for (uint64_t k : sorted) h = (suite == 0 ? std::rotr(h ^ k, 7) : std::rotr(h, 7) ^ k) + k;
    return h;
}

// range 0 draws full 32-bit keys; small ranges give many ties.
Keys random_keys(std::mt19937_64& gen, size_t n, uint32_t range) {
    Keys v(n);
    for (auto& k : v) k = static_cast<uint32_t>(range == 0 ? gen() : gen() % range);
    return v;
}

// Sorts with both kernels, a sentinel after the RAW range: a routine that
// reads or writes beyond n would pull it in or overwrite it.
void expect_sorted(const Keys& in, const Keys& want, uint64_t raw_sum, uint64_t real_sum) {
    Keys raw = in, real = in;
    raw.push_back(0xFFFFFFFFu);
    EXPECT_EQ(qm_sort(raw.data(), in.size()), raw_sum) << "n " << in.size();
    EXPECT_EQ(qm_c_sort(real.data(), in.size()), real_sum) << "n " << in.size();
    EXPECT_EQ(raw.back(), 0xFFFFFFFFu);
    raw.pop_back();
    EXPECT_EQ(raw, want);
    EXPECT_EQ(real, want);
}

TEST(SortKernel, SmallArraysAndChains) {
    expect_sorted({}, {}, 0, 0);
    expect_sorted({0xFFFFFFF0u}, {0xFFFFFFF0u}, 0xFFFFFFF0u, 0x1FFFFFFE0u);  // one key: RAW returns it
    for (const Keys& in : {Keys{1, 2, 3}, Keys{3, 1, 2}, Keys{2, 3, 1}})
        expect_sorted(in, {1, 2, 3}, 0x020C080000000003ull, 0x0808000000000006ull);
    // Unsigned order; equal keys stay as they are.
    const Keys mixed = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}, same(37, 0x5A5A5A5Au);
    expect_sorted({0x80000000u, 1, 0x7FFFFFFFu, 0xFFFFFFFFu, 0}, mixed, chain(mixed, 0), chain(mixed, 1));
    expect_sorted(same, same, chain(same, 0), chain(same, 1));
}

// Every size and start, ties and all: the same moves as the portable twin.
TEST(SiftDown, MatchesThePortableTwin) {
    std::mt19937_64 gen(7);
    for (uint32_t range : {2u, 4u, 0u}) {
        for (size_t n : {1u, 2u, 3u, 6u, 7u, 16u, 33u}) {
            const Keys base = random_keys(gen, n, range);
            for (size_t size = 0; size <= n; ++size) {
                for (size_t start = 0; start < std::max<size_t>(size, 1); ++start) {
                    Keys raw = base, portable = base;
                    st_siftdown(raw.data(), size, start);
                    qm_c_siftdown(portable.data(), size, start);
                    ASSERT_EQ(raw, portable) << "range " << range << " size " << size << " start " << start;
                }
            }
        }
    }
}

TEST(SortKernel, RandomArraysSortLikeStdSort) {
    std::mt19937_64 gen(42);
    for (uint32_t range : {3u, 0u}) {
        for (size_t n : {2u, 3u, 4u, 7u, 31u, 100u, 4097u, 65537u}) {
            const Keys keys = random_keys(gen, n, range);
            Keys want = keys;
            std::sort(want.begin(), want.end());
            expect_sorted(keys, want, chain(want, 0), chain(want, 1));
        }
    }
}

TEST(RunSort, PassesXorAndRepeat) {
    ensure_workloads();
    Keys sorted(g_sort_src, g_sort_src + kSortKeys);
    std::sort(sorted.begin(), sorted.end());
    Workspace* ws = &g_ws[1];
    for (int backend : {0, 1}) {
        SCOPED_TRACE(backend);
        BackendScope scope(backend);
        std::memset(ws->sort_keys, 0xAB, 64);
        EXPECT_EQ(run_sort(0, ws), 0u);
        EXPECT_EQ(ws->sort_keys[0], 0xABABABABu);  // no pass, no copy
        const uint64_t want = chain(sorted, backend);
        EXPECT_EQ(run_sort(1, ws), want);
        EXPECT_TRUE(std::equal(sorted.begin(), sorted.end(), ws->sort_keys));
        EXPECT_EQ(run_sort(2, ws), 0u);  // equal passes cancel in the XOR
        EXPECT_EQ(run_sort(3, ws), want);
        EXPECT_EQ(run_sort(3, ws), want);
    }
    EXPECT_NE(chain(sorted, 0), chain(sorted, 1));
    EXPECT_FALSE(std::is_sorted(g_sort_src, g_sort_src + kSortKeys));  // the source is only read
}

}  // namespace

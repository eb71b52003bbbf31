// Sorting kernels: the hand-written heapsort and sift-down against std::sort,
// an independent model of the tie rules, and the two checksum chains.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "workload_env.h"
#include "workloads/kernels.h"
#include "workloads/sort.h"

namespace {

uint64_t rotr64(uint64_t v, int s) { return (v >> s) | (v << (64 - s)); }

uint64_t raw_chain(const std::vector<uint32_t>& sorted) {
    uint64_t h = 0;
    for (uint32_t k : sorted) h = rotr64(h ^ k, 7) + k;
    return h;
}

uint64_t real_chain(const std::vector<uint32_t>& sorted) {
    uint64_t h = 0;
    for (uint32_t k : sorted) h = (rotr64(h, 7) ^ k) + k;
    return h;
}

// The sift-down written from its rules, recursively and without shortcuts.
void model_siftdown(std::vector<uint32_t>& a, size_t size, size_t node) {
    const size_t left = 2 * node + 1, right = left + 1;
    if (left >= size) return;
    size_t child = left;
    if (right < size && a[right] > a[left]) child = right;  // equal children: left
    if (a[node] >= a[child]) return;                        // equal keys stop
    std::swap(a[node], a[child]);
    model_siftdown(a, size, child);
}

std::vector<uint32_t> random_keys(std::mt19937_64& gen, size_t n, uint32_t range) {
    std::vector<uint32_t> v(n);
    for (auto& k : v) k = range == 0 ? static_cast<uint32_t>(gen()) : static_cast<uint32_t>(gen() % range);
    return v;
}

// Extra slots past the sorted range hold a sentinel that must survive: a
// routine that reads or writes beyond n would pull it in or overwrite it.
constexpr uint32_t kGuard = 0xFFFFFFFFu;
constexpr size_t kGuards = 4;

}  // namespace

TEST(SortChains, AscendingOneTwoThree) {
    for (std::vector<uint32_t> keys : {std::vector<uint32_t>{1, 2, 3}, {3, 1, 2}, {2, 3, 1}}) {
        std::vector<uint32_t> copy = keys;
        EXPECT_EQ(qm_sort(keys.data(), 3), 0x020C080000000003ull);
        EXPECT_EQ(qm_c_sort(copy.data(), 3), 0x0808000000000006ull);
        EXPECT_EQ(keys, (std::vector<uint32_t>{1, 2, 3}));
        EXPECT_EQ(copy, (std::vector<uint32_t>{1, 2, 3}));
    }
}

TEST(SortKernel, FewerThanTwoKeysNeitherSortNorChain) {
    uint32_t keys[2] = {5, kGuard};
    EXPECT_EQ(qm_sort(keys, 0), 0u);
    EXPECT_EQ(keys[0], 5u);
    EXPECT_EQ(qm_sort(keys, 1), 5u);
    EXPECT_EQ(keys[0], 5u);
    EXPECT_EQ(keys[1], kGuard);
    uint32_t top = 0xFFFFFFF0u;  // zero-extended, not sign-extended
    EXPECT_EQ(qm_sort(&top, 1), 0xFFFFFFF0ull);
    EXPECT_EQ(qm_c_sort(keys, 0), 0u);
}

TEST(SortKernel, UnsignedOrderAndEqualKeys) {
    uint32_t two[2] = {0xFFFFFFFFu, 0};
    qm_sort(two, 2);
    EXPECT_EQ(two[0], 0u);
    EXPECT_EQ(two[1], 0xFFFFFFFFu);

    std::vector<uint32_t> mixed = {0x80000000u, 1, 0x7FFFFFFFu, 0xFFFFFFFFu, 0};
    std::vector<uint32_t> c_mixed = mixed;
    qm_sort(mixed.data(), mixed.size());
    qm_c_sort(c_mixed.data(), c_mixed.size());
    const std::vector<uint32_t> want = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
    EXPECT_EQ(mixed, want);
    EXPECT_EQ(c_mixed, want);

    std::vector<uint32_t> same(37, 0x5A5A5A5Au);
    EXPECT_EQ(qm_sort(same.data(), same.size()), raw_chain(same));
    EXPECT_EQ(same, std::vector<uint32_t>(37, 0x5A5A5A5Au));
    for (size_t start = 0; start < same.size(); ++start) st_siftdown(same.data(), same.size(), start);
    EXPECT_EQ(same, std::vector<uint32_t>(37, 0x5A5A5A5Au));
}

// Cases where a wrong tie rule changes the array.
TEST(SiftDown, TieRules) {
    struct Case {
        std::vector<uint32_t> in, out;
    };
    const Case cases[] = {
        // Equal children: the left one moves up, and the descent continues left.
        {{1, 5, 5, 9, 0, 2, 0}, {5, 9, 5, 1, 0, 2, 0}},
        // Key equal to the larger child: stop, though a deeper key is larger.
        {{3, 3, 1, 4, 0}, {3, 3, 1, 4, 0}},
        // Right child strictly greater: it moves up.
        {{0, 6, 7, 1, 1, 9, 8}, {7, 6, 9, 1, 1, 0, 8}},
        // Unsigned compare at every level.
        {{1, 0x80000000u, 2, 0xFFFFFFFFu, 3}, {0x80000000u, 0xFFFFFFFFu, 2, 1, 3}},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> raw = c.in, portable = c.in;
        st_siftdown(raw.data(), raw.size(), 0);
        qm_c_siftdown(portable.data(), portable.size(), 0);
        EXPECT_EQ(raw, c.out);
        EXPECT_EQ(portable, c.out);
    }
}

TEST(SiftDown, MatchesModelOnEveryStartAndSize) {
    std::mt19937_64 gen(7);
    for (uint32_t range : {2u, 4u, 1000u, 0u}) {
        for (size_t n : {1u, 2u, 3u, 6u, 7u, 16u, 33u, 100u}) {
            const std::vector<uint32_t> base = random_keys(gen, n, range);
            for (size_t size = 0; size <= n; ++size) {
                for (size_t start = 0; start < std::max<size_t>(size, 1); ++start) {
                    std::vector<uint32_t> raw = base, portable = base, model = base;
                    raw.resize(n + kGuards, kGuard);
                    st_siftdown(raw.data(), size, start);
                    qm_c_siftdown(portable.data(), size, start);
                    model_siftdown(model, size, start);
                    model.resize(n + kGuards, kGuard);
                    portable.resize(n + kGuards, kGuard);
                    ASSERT_EQ(raw, model) << "range " << range << " size " << size << " start " << start;
                    ASSERT_EQ(portable, model) << "range " << range << " size " << size << " start " << start;
                }
            }
        }
    }
}

TEST(SortKernel, RandomArraysSortLikeStdSort) {
    std::mt19937_64 gen(42);
    for (uint32_t range : {3u, 256u, 0u}) {
        for (size_t n : {2u, 3u, 4u, 5u, 7u, 8u, 31u, 64u, 99u, 1000u, 4097u, 65537u}) {
            std::vector<uint32_t> keys = random_keys(gen, n, range);
            std::vector<uint32_t> want = keys;
            std::sort(want.begin(), want.end());
            std::vector<uint32_t> raw = keys, portable = keys;
            raw.resize(n + kGuards, kGuard);
            const uint64_t h_raw = qm_sort(raw.data(), n);
            const uint64_t h_real = qm_c_sort(portable.data(), n);
            raw.resize(n);
            ASSERT_EQ(raw, want) << "n " << n << " range " << range;
            ASSERT_EQ(portable, want) << "n " << n << " range " << range;
            EXPECT_EQ(h_raw, raw_chain(want)) << "n " << n;
            EXPECT_EQ(h_real, real_chain(want)) << "n " << n;
        }
    }
}

TEST(RunSort, PassesXorAndRepeat) {
    ensure_workloads();
    std::vector<uint32_t> sorted(g_sort_src, g_sort_src + kSortKeys);
    std::sort(sorted.begin(), sorted.end());
    const uint64_t want[2] = {raw_chain(sorted), real_chain(sorted)};
    ASSERT_NE(want[0], 0u);
    ASSERT_NE(want[1], 0u);
    ASSERT_NE(want[0], want[1]);

    Workspace* ws = &g_ws[1];
    for (int backend : {0, 1}) {
        SCOPED_TRACE(backend);
        BackendScope scope(backend);
        // 0 iterations returns 0 and leaves the keys alone.
        std::memset(ws->sort_keys, 0xAB, 64);
        EXPECT_EQ(run_sort(0, ws), 0u);
        EXPECT_EQ(ws->sort_keys[0], 0xABABABABu);

        EXPECT_EQ(run_sort(1, ws), want[backend]);
        EXPECT_TRUE(std::equal(sorted.begin(), sorted.end(), ws->sort_keys));
        EXPECT_EQ(run_sort(1, ws), want[backend]);  // the keys were left sorted
        EXPECT_EQ(run_sort(2, ws), 0u);
        EXPECT_EQ(run_sort(3, ws), want[backend]);
    }
    // The shared source is only read.
    std::vector<uint32_t> src(g_sort_src, g_sort_src + kSortKeys);
    std::sort(src.begin(), src.end());
    EXPECT_EQ(src, sorted);
    EXPECT_FALSE(std::is_sorted(g_sort_src, g_sort_src + kSortKeys));
}

// Every RAW kernel against its REAL twin or an independent model, over the
// sizes where kernels go wrong: empty, one short of a block or round, odd
// tails, misaligned buffers, and the workload sizes themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>

#include "simd_model.h"
#include "workload_env.h"

namespace {

// Runs `raw` and `twin` on equal copies of make(n) for every size n, each copy
// one element off its natural alignment and between guards: both must return
// the same value and leave the same elements, and neither may touch a guard.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 cannot bound the copy's size here and reports false overflows.
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
template <typename T, typename Make, typename Raw, typename Twin>
void expect_parity(const char* what, std::initializer_list<uint64_t> sizes, Make make, Raw raw, Twin twin) {
    // Zero guards catch a count that reads past the end, 0xA5 a write.
    for (uint64_t n : sizes) {
        const std::vector<T> in = make(n);
        for (uint8_t guard : {0x00, 0xA5}) {
            SCOPED_TRACE(testing::Message() << what << ", size " << n << ", guard " << int{guard});
            const size_t len = in.size();
            T g;
            std::memset(static_cast<void*>(&g), guard, sizeof g);
            std::vector<T> a(len + 9, g);
            for (size_t i = 0; i < len; ++i) a[i + 1] = in[i];
            std::vector<T> b = a;
            const std::vector<T> before = a;
            const uint64_t got = raw(a.data() + 1, n);
            ASSERT_EQ(got, twin(b.data() + 1, n));
            ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(T)));
            EXPECT_EQ(0, std::memcmp(a.data(), before.data(), sizeof(T)));
            EXPECT_EQ(0, std::memcmp(&a[len + 1], &before[len + 1], 8 * sizeof(T)));
        }
    }
}

std::mt19937_64 g_gen(0x51D);

template <typename T>
std::vector<T> random_elems(uint64_t n, uint64_t range) {
    std::vector<T> v(n);
    for (T& x : v) x = static_cast<T>(range == 0 ? g_gen() : g_gen() % range);
    return v;
}

// One match-finder pass written from the rules, for any length.
uint64_t compress_model(const uint8_t* in, uint64_t len) {
    if (len < 16) return len + 1;
    auto word = [&](uint64_t p) { uint32_t v; std::memcpy(&v, in + p, 4); return v; };
    std::vector<uint32_t> table(kHashEntries, 0);
    uint64_t pos = 0, anchor = 0, cost = 0;
    while (pos < len - 12) {
        const uint64_t cand = std::exchange(table[(word(pos) * 0x9E3779B1u) >> 16], static_cast<uint32_t>(pos));
        if (cand >= pos || pos - cand > 65535 || word(cand) != word(pos)) {
            ++pos;
            continue;
        }
        uint64_t L = 4;
        while (pos + L < len && in[pos + L] == in[cand + L]) ++L;
        cost += (pos - anchor) + 3 + (pos - anchor >= 15) + (L >= 19);
        pos = anchor = pos + L;
    }
    return cost + (len - anchor) + 1;
}

// The RAW ChaCha20 fold over the keystream of `blocks` blocks: four XOR
// lanes of words 0..3 and 12..15, added up.
uint64_t chacha_raw_fold(const uint8_t* key, uint64_t blocks) {
    uint32_t in[16] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u}, ks[16], c[4] = {};
    std::memcpy(in + 4, key, 32);
    for (uint64_t n = 0; n < blocks; ++n) {
        in[12] = static_cast<uint32_t>(n);
        chacha20_block(in, ks);
        for (int j = 0; j < 4; ++j) c[j] ^= ks[j] ^ ks[12 + j];
    }
    return static_cast<uint32_t>(c[0] + c[1] + c[2] + c[3]);
}

// The bits of the bodies' velocity sum in the RAW order (S + vx + vy + vz)
// or the REAL one (((vx + vy) + vz) + S); 0 where no step ran.
uint64_t velocity_sum(const Body* b, uint64_t n, uint64_t steps, bool real) {
    double sum = 0.0;
    for (uint64_t i = 0; i < n; ++i) sum = real ? b[i].vx + b[i].vy + b[i].vz + sum : sum + b[i].vx + b[i].vy + b[i].vz;
    return steps == 0 ? 0 : std::bit_cast<uint64_t>(sum);
}

// The RAW checksum chain over sorted keys: h = rotr(h ^ k, 7) + k; a single
// key is returned as it is.
uint64_t sort_raw_chain(const uint32_t* k, uint64_t n) {
    if (n == 1) return k[0];
    uint64_t h = 0;
    for (uint64_t i = 0; i < n; ++i) h = std::rotr(h ^ k[i], 7) + k[i];
    return h;
}

}  // namespace

TEST(Parity, SieveAgainstTwin) {  // below 2 the flags stay as they are
    expect_parity<uint8_t>("sieve", {0, 1, 2, 3, 10, 31, 32, 33, 63, 64, 65, 97, 200, 1001, kSieveBytes},
                           [](uint64_t n) { return random_elems<uint8_t>(n, 0); },
                           [](uint8_t* f, uint64_t n) { return qm_primes(n, f); },
                           [](uint8_t* f, uint64_t n) { return qm_c_sieve(f, n); });
}

TEST(Parity, VectorRoundsAgainstLaneModel) {
    // 16-bit lanes at the saturation corners, small ones that keep the float
    // lanes finite for a while, and full-range noise.
    const uint16_t corners[] = {0x7FFF, 0x8000, 0xFFFF, 0x0000, 0x0001, 0x7FFE, 0x8001, 0x00FF};
    for (int kind = 0; kind < 3; ++kind) {
        std::vector<uint8_t> block(kSimdBytes);
        for (size_t k = 0; k < kSimdBytes / 2; ++k) {
            const uint16_t lane = kind == 0   ? corners[(k * 5 + k / 8) % 8]
                                  : kind == 1 ? static_cast<uint16_t>(g_gen() % 9 - 4)
                                              : static_cast<uint16_t>(g_gen());
            std::memcpy(&block[2 * k], &lane, 2);
        }
        expect_parity<uint8_t>("vector", {0, 1, 2, 3, 4, 5, 17, 200, 5000}, [&](uint64_t) { return block; },
                               [](uint8_t* b, uint64_t r) { return qm_simd(r, b); },
                               [](uint8_t* b, uint64_t r) { return simd_model(b, r); });
    }
}

TEST(Parity, MatchFinderAgainstModelAndTwin) {
    std::vector<uint32_t> table;  // junk before every pass: each must clear it first
    const auto raw = [&](uint8_t* in, uint64_t n) {
        table.assign(kHashEntries, 0xDEADBEEFu);
        return qm_compress(in, n, table.data());
    };
    const auto model = [](uint8_t* in, uint64_t n) { return compress_model(in, n); };
    for (uint64_t alphabet : {2, 4, 256}) {
        const auto text = [&](uint64_t n) {
            std::vector<uint8_t> v = random_elems<uint8_t>(n, alphabet);
            for (uint8_t& c : v) c += 'a';
            return v;
        };
        expect_parity<uint8_t>("match finder", {0, 15, 16, 17, 29, 1000, 4099, 70000, 200001}, text, raw, model);
    }
    // Inputs on the rules' edges, which random text seldom reaches. "ABCD", 'z'
    // up to the distance, "ABCD" again and fresh bytes: the z run is one match,
    // so the slot of "ABCD" still holds position 0 (65,535 back is accepted,
    // 65,536 refused). Literal runs of 14, 15 and 25 before a match; matches of
    // 18, 19 and 4,999 bytes; repeats just inside and outside the scan limit.
    const auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    const auto repeat_at = [&](size_t distance) {
        return bytes("ABCD" + std::string(distance - 4, 'z') + "ABCD0123456789!#$%&(");
    };
    std::vector<std::vector<uint8_t>> edges = {repeat_at(65535), repeat_at(65536),
                                               bytes("ABCDefgABCDhijklmnop"), bytes("ABCDefghABCDijklmnop"),
                                               bytes("abcdabcdbcdaXYZ12345"), std::vector<uint8_t>(16, 'x')};
    for (size_t n : {13, 14, 24}) edges.push_back(bytes(std::string("ABCDEFGHIJKLMNOPRSTUVWXYZ", n) + "qqqqqq01234567"));
    for (size_t r : {19, 20, 5000}) edges.push_back(bytes(std::string(r, 'q') + "0123456789!#"));
    for (const auto& in : edges)
        expect_parity<uint8_t>("edge", {in.size()}, [&](uint64_t) { return in; }, raw, model);

    // Against REAL: the whole corpus; all zeros (an overlapping match to the
    // very end); noise whose one repeat starts at the last hashed position or
    // the first unhashed one, 12 and 13 bytes before the end.
    ensure_workloads();
    for (int kind : {0, 1, 2, 3})
        expect_parity<uint8_t>(
            "match finder", {kCorpusBytes},
            [&](uint64_t) {
                if (kind == 0) return std::vector<uint8_t>(g_corpus, g_corpus + kCorpusBytes);
                std::vector<uint8_t> v(kCorpusBytes);
                if (kind == 1) return v;
                v = random_elems<uint8_t>(kCorpusBytes, 0);
                const size_t start = kCorpusBytes - (kind == 2 ? 13 : 12);
                std::memcpy(&v[start], &v[start - 1000], kCorpusBytes - start);
                return v;
            },
            raw, [&](uint8_t* in, uint64_t) {
                table.assign(kHashEntries, 0xDEADBEEFu);
                return qm_c_compress(in, table.data());
            });
}

TEST(Parity, ChaChaBytesAndFolds) {
    const std::vector<uint8_t> key = random_elems<uint8_t>(32, 0);
    for (uint64_t passes : {0, 1, 3}) {
        // REAL writes the bytes; the RAW fold comes from the keystream.
        expect_parity<uint8_t>(
            "chacha20", {0, 1, 63, 64, 65, 100, 7 * 64 + 30}, [](uint64_t n) { return random_elems<uint8_t>(n, 0); },
            [&](uint8_t* b, uint64_t n) { return qm_chacha20(b, n, key.data(), passes); },
            [&](uint8_t* b, uint64_t n) {
                qm_c_chacha20(b, n, key.data(), passes);
                return chacha_raw_fold(key.data(), n / 64 * passes);
            });
    }
}

TEST(Parity, GravityBodiesAndBothSummationOrders) {
    // Bodies in general positions; no kernel may touch the reserved word.
    const auto bodies = [](uint64_t n) {
        std::vector<Body> b(n);
        for (Body& x : b) {
            double* d = &x.x;
            for (int k = 0; k < 7; ++k) d[k] = static_cast<double>(g_gen() % 2000) / 1000.0 - 1.0;
            x.m = static_cast<double>(g_gen() % 900) / 1000.0 + 0.1;
            x.reserved = -1234.5;
        }
        return b;
    };
    // Each kernel's checksum is its order's sum over the other kernel's bodies.
    for (uint64_t steps : {0, 1, 3}) {
        for (bool real : {false, true}) {
            const auto kernel = real ? qm_c_physics : qm_physics, other = real ? qm_physics : qm_c_physics;
            expect_parity<Body>(real ? "REAL gravity" : "RAW gravity", {0, 1, 2, 3, 6, 7}, bodies,
                                [&](Body* b, uint64_t n) { return kernel(b, n, steps); },
                                [&](Body* b, uint64_t n) {
                                    other(b, n, steps);
                                    return velocity_sum(b, n, steps, real);
                                });
        }
    }
}

TEST(Parity, HeapsortAndSiftDown) {
    for (uint64_t range : {2, 3, 0}) {
        // REAL sorts; the RAW chain is recomputed over its keys.
        expect_parity<uint32_t>("heapsort", {0, 1, 2, 3, 4, 7, 31, 100, 4097, 65537},
                                [&](uint64_t n) { return random_elems<uint32_t>(n, range); },
                                [](uint32_t* k, uint64_t n) { return qm_sort(k, n); },
                                [](uint32_t* k, uint64_t n) {
                                    qm_c_sort(k, n);
                                    return sort_raw_chain(k, n);
                                });
        // Every heap size and start, ties and all: the same moves as the twin.
        const std::vector<uint32_t> base = random_elems<uint32_t>(33, range);
        for (uint64_t size = 0; size <= 33; ++size)
            for (uint64_t start = 0; start < std::max<uint64_t>(size, 1); ++start) {
                std::vector<uint32_t> raw = base, twin = base;
                st_siftdown(raw.data(), size, start);
                qm_c_siftdown(twin.data(), size, start);
                ASSERT_EQ(raw, twin) << "size " << size << " start " << start;
            }
    }
}

TEST(Parity, PointerChaseAgainstTheRingWalk) {
    ensure_workloads();
    const uint64_t* ring = g_ws[1].chase_ring;
    const std::vector<uint64_t> next = ring_indices(ring);
    uint64_t node = 0, walked = 0;
    for (uint64_t loads : {0, 1, 7, 8, 9, 65, 1000000, 2097151, 2097152, 2097157}) {
        for (; walked < loads; ++walked) node = next[node];
        EXPECT_EQ(qm_chase(ring, loads), 8 * node) << loads;
        EXPECT_EQ(qm_c_chase(ring, loads), 8 * node) << loads;
    }
}

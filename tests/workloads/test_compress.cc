// The LZ77 match finder: hand-built inputs whose cost follows from the rules,
// the RAW routine against an in-test model, and both suites on the corpus.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "workload_env.h"
#include "workloads/compress.h"
#include "workloads/kernels.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kMiB4 = 4194304;

uint32_t word_at(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint32_t slot_of(uint32_t word) { return (word * 0x9E3779B1u) >> 16; }

Bytes bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Straightforward model of one pass, written from the rules, for any length.
uint64_t model_cost(const uint8_t* in, uint64_t len) {
    if (len < 16) return len + 1;
    std::vector<uint32_t> table(kHashEntries, 0);
    uint64_t pos = 0, anchor = 0, cost = 0;
    while (pos < len - 12) {
        const uint32_t slot = slot_of(word_at(in + pos));
        const uint64_t cand = std::exchange(table[slot], static_cast<uint32_t>(pos));
        if (cand >= pos || pos - cand > 65535 || std::memcmp(in + cand, in + pos, 4) != 0) {
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

// Both passes start from a table of junk: each must clear it first.
struct Pass {
    std::vector<uint32_t> table = std::vector<uint32_t>(kHashEntries, 0xDEADBEEFu);
    uint64_t raw(const Bytes& in) { return qm_compress(in.data(), in.size(), table.data()); }
    uint64_t real(const Bytes& in) { return in.size() == kMiB4 ? qm_c_compress(in.data(), table.data()) : 0; }
};

// The portable pass only takes 4 MiB: the rest is a run of 'y'. Its first
// byte joins the trailing literals and the rest is one long match, so a
// trailing run of t < 14 literals costs t + 1 + 3 + 1 + 1 instead of t + 1.
Bytes padded(Bytes in) {
    in.resize(kMiB4, 'y');
    return in;
}

TEST(Compress, SmallAndUniformInputs) {
    // Position 0 is refused (its zero entry names itself); position 1 matches
    // at distance 1 and the overlapping match runs to the very end.
    const Bytes zeros(kMiB4, 0);
    Pass p;
    EXPECT_EQ(p.raw(zeros), 6u);
    EXPECT_EQ(p.real(zeros), 6u);
    // Eight literals, then a 24-byte match at distance 8: 8 + 3 + 1, plus 1.
    EXPECT_EQ(p.raw(bytes("abcdefghabcdefghabcdefghabcdefgh")), 13u);

    for (size_t len : {0u, 15u}) {
        Pass q;
        EXPECT_EQ(q.raw(Bytes(len, 'x')), len + 1) << len;
        EXPECT_EQ(q.table, std::vector<uint32_t>(kHashEntries, 0)) << len;
    }
    // Sixteen bytes are scanned (positions 0..3); no repeat, all literals.
    EXPECT_EQ(p.raw(bytes("0123456789abcdef")), 17u);
    EXPECT_EQ(p.table[slot_of(word_at("3456"))], 3u);
}

TEST(Compress, DistanceLimitIs65535) {
    // "ABCD", 'z' up to `distance`, "ABCD" again, then 16 fresh bytes. The z
    // run is one long match after a literal run of 5 (cost 9), so none of its
    // positions enter the table and the slot of "ABCD" still holds position 0
    // when the second copy is reached.
    auto repeat_at = [](size_t distance) {
        Bytes in(distance + 4 + 16, 'z');
        std::memcpy(in.data(), "ABCD", 4);
        std::memcpy(in.data() + distance, "ABCD0123456789!#$%&(", 20);
        return in;
    };
    for (const char* w : {"BCDz", "CDzz", "Dzzz", "zzzz"})  // no word before the z run takes its slot
        ASSERT_NE(slot_of(word_at(w)), slot_of(word_at("ABCD")));
    Pass p;
    // Accepted: 9, the 4-byte match with no literals (3), 16 trailing
    // literals and 1. Refused: 9, 20 trailing literals and 1. Padded, the
    // trailing literal runs reach 15 and take an extension byte.
    const uint64_t costs[2][2] = {{29, 9 + 3 + 22 + 1}, {30, 9 + 26 + 1}};
    for (size_t d : {0u, 1u}) {
        EXPECT_EQ(p.raw(repeat_at(65535 + d)), costs[d][0]) << d;
        const Bytes in = padded(repeat_at(65535 + d));
        EXPECT_EQ(p.real(in), costs[d][1]) << d;
        EXPECT_EQ(p.raw(in), costs[d][1]) << d;
    }
}

TEST(Compress, HashCollisionIsRefusedByTheCompare) {
    const uint32_t a = word_at("wxyz");
    uint32_t b = 0x41414141u;  // search upwards from "AAAA" for another word in the same slot
    while (b == a || slot_of(b) != slot_of(a)) ++b;
    Bytes in = bytes("wxyz....0123456789ab");
    std::memcpy(in.data() + 4, &b, 4);
    for (size_t pos : {1u, 2u, 3u, 5u, 6u, 7u})  // no other scanned word takes the slot
        ASSERT_NE(slot_of(word_at(in.data() + pos)), slot_of(a)) << pos;
    Pass p;
    EXPECT_EQ(p.raw(in), in.size() + 1);  // all literals
    EXPECT_EQ(p.table[slot_of(a)], 4u);   // but the entry moved on
}

TEST(Compress, ExtensionBytesStartAtLiteral15AndMatch19) {
    // n distinct letters then "qqqqqq": a literal run of n + 1 and a 5-byte
    // match, then 8 literals and 1. A run of r 'q': 1 literal and a match of
    // r - 1, then 12 literals and 1.
    auto literals = [](size_t n) {
        return bytes(std::string("ABCDEFGHIJKLMNOPRSTUVWXYZ", n) + "qqqqqq01234567");
    };
    auto match = [](size_t r) { return bytes(std::string(r, 'q') + "0123456789!#"); };
    const struct {
        Bytes in;
        uint64_t cost;
    } cases[] = {
        {literals(13), 14 + 3 + 0 + 9}, {literals(14), 15 + 3 + 1 + 9}, {literals(24), 25 + 3 + 1 + 9},
        {match(19), 1 + 3 + 0 + 13},    {match(20), 1 + 3 + 1 + 13},    {match(5000), 1 + 3 + 1 + 13},
    };
    Pass p;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.size());
        EXPECT_EQ(p.raw(c.in), c.cost);
        const Bytes in = padded(c.in);
        EXPECT_EQ(p.real(in), c.cost + 5);
        EXPECT_EQ(p.raw(in), c.cost + 5);
    }
}

TEST(Compress, RawMatchesModelOnAssortedInputs) {
    // Small alphabets give many matches, collisions and overlaps; lengths
    // around the short-input threshold and odd sizes exercise the limits.
    uint64_t s = 12345;
    Pass p;
    for (size_t len : {16u, 17u, 29u, 1000u, 4099u, 70000u, 200001u}) {
        for (uint32_t alphabet : {2u, 4u, 256u}) {
            Bytes in(len);
            for (auto& c : in) {
                s = s * 6364136223846793005ull + 1442695040888963407ull;
                c = static_cast<uint8_t>('a' + (s >> 33) % alphabet);
            }
            EXPECT_EQ(p.raw(in), model_cost(in.data(), len)) << len << " " << alphabet;
        }
    }
}

TEST(Compress, BothSuitesAgreeOnTheCorpus) {
    ensure_workloads();
    Pass p;
    const uint64_t raw = qm_compress(g_corpus, kCorpusBytes, p.table.data());
    EXPECT_EQ(qm_c_compress(g_corpus, p.table.data()), raw);
    EXPECT_EQ(model_cost(g_corpus, kCorpusBytes), raw);
    EXPECT_LT(raw, kCorpusBytes / 2);  // text of short words compresses

    for (int backend : {0, 1}) {
        BackendScope scope(backend);
        Workspace* ws = &g_ws[0];
        EXPECT_EQ(run_compress(0, ws), 0u) << backend;
        EXPECT_EQ(run_compress(1, ws), raw) << backend;
        EXPECT_EQ(run_compress(3, ws), 3 * raw) << backend;
        EXPECT_EQ(run_compress(3, ws), 3 * raw) << backend;
    }
}

}  // namespace

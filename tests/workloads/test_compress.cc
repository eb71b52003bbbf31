// The LZ77 match finder: hand-built inputs whose cost follows from the rules,
// the RAW routine against an in-test model, and both suites on the corpus.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "workloads/compress.h"
#include "workloads/kernels.h"
#include "workload_env.h"

namespace {

constexpr size_t kMiB4 = 4194304;

uint32_t word_at(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

uint32_t slot_of(uint32_t word) { return (word * 0x9E3779B1u) >> 16; }

// Straightforward model of one pass, written from the rules, for any length.
uint64_t model_cost(const uint8_t* in, uint64_t len) {
    if (len < 16) return len + 1;
    std::vector<uint32_t> table(kHashEntries, 0);
    uint64_t pos = 0, anchor = 0, cost = 0;
    while (pos < len - 12) {
        const uint32_t slot = slot_of(word_at(in + pos));
        const uint64_t cand = table[slot];
        table[slot] = static_cast<uint32_t>(pos);
        const bool match = cand < pos && pos - cand <= 65535 && std::memcmp(in + cand, in + pos, 4) == 0;
        if (!match) {
            ++pos;
            continue;
        }
        uint64_t L = 4;
        while (pos + L < len && in[pos + L] == in[cand + L]) ++L;
        const uint64_t lit = pos - anchor;
        cost += lit + 3 + (lit >= 15 ? 1 : 0) + (L >= 19 ? 1 : 0);
        pos += L;
        anchor = pos;
    }
    return cost + (len - anchor) + 1;
}

struct Pass {
    std::vector<uint32_t> table = std::vector<uint32_t>(kHashEntries, 0xDEADBEEFu);
    uint64_t raw(const std::vector<uint8_t>& in) { return qm_compress(in.data(), in.size(), table.data()); }
    uint64_t raw(const std::string& s) {
        return qm_compress(reinterpret_cast<const uint8_t*>(s.data()), s.size(), table.data());
    }
    uint64_t real(const std::vector<uint8_t>& in) {
        EXPECT_EQ(in.size(), kMiB4);
        return qm_c_compress(in.data(), table.data());
    }
    bool cleared() const {
        for (uint32_t e : table)
            if (e != 0) return false;
        return true;
    }
};

TEST(Compress, ZeroInputCostsSixInBothSuites) {
    // Position 0 is refused (its zero entry names itself); position 1 matches
    // at distance 1 and the overlapping match runs to the very end.
    const std::vector<uint8_t> zeros(kMiB4, 0);
    Pass p;
    EXPECT_EQ(p.raw(zeros), 6u);
    EXPECT_EQ(p.real(zeros), 6u);
    EXPECT_EQ(model_cost(zeros.data(), zeros.size()), 6u);
}

TEST(Compress, RepeatedLettersCostThirteen) {
    // Eight literals, then a 24-byte match at distance 8: 8 + 3 + 1, plus 1.
    Pass p;
    EXPECT_EQ(p.raw(std::string("abcdefghabcdefghabcdefghabcdefgh")), 13u);
}

TEST(Compress, ShortInputsClearTheTableAndCostLenPlusOne) {
    for (size_t len : {0u, 1u, 15u}) {
        Pass p;
        const std::vector<uint8_t> in(len, 'x');
        EXPECT_EQ(qm_compress(len ? in.data() : nullptr, len, p.table.data()), len + 1) << len;
        EXPECT_TRUE(p.cleared()) << len;
    }
    // Sixteen bytes are scanned (positions 0..3); no repeat, all literals.
    Pass p;
    EXPECT_EQ(p.raw(std::string("0123456789abcdef")), 17u);
    EXPECT_EQ(p.table[slot_of(word_at(reinterpret_cast<const uint8_t*>("3456")))], 3u);
}

// "ABCD", 'z' up to position `distance`, "ABCD" again, then 16 fresh bytes.
// The z run is one long match (literal run 5: cost 9), so none of its
// positions enter the table and the slot of "ABCD" still holds position 0
// when the second copy is reached.
std::vector<uint8_t> repeat_at(size_t distance) {
    std::vector<uint8_t> in(distance + 4 + 16, 'z');
    std::memcpy(in.data(), "ABCD", 4);
    std::memcpy(in.data() + distance, "ABCD", 4);
    std::memcpy(in.data() + distance + 4, "0123456789!#$%&(", 16);
    return in;
}

// The portable pass only takes 4 MiB: the rest is a run of 'y', which costs
// the same whatever precedes it (one long match after its first byte).
std::vector<uint8_t> padded(std::vector<uint8_t> in) {
    in.resize(kMiB4, 'y');
    return in;
}

TEST(Compress, DistanceLimitIs65535) {
    // The words hashed before the z run must not take the slot of "ABCD".
    for (const char* w : {"BCDz", "CDzz", "Dzzz", "zzzz"})
        ASSERT_NE(slot_of(word_at(reinterpret_cast<const uint8_t*>(w))),
                  slot_of(word_at(reinterpret_cast<const uint8_t*>("ABCD"))));
    Pass p;
    // Accepted: 9, then the 4-byte match with no literals (3), then 16
    // trailing literals and 1.
    EXPECT_EQ(p.raw(repeat_at(65535)), 29u);
    // Refused: 9, then 20 trailing literals and 1.
    EXPECT_EQ(p.raw(repeat_at(65536)), 30u);

    // Padded: the 16 fresh bytes and the first 'y' become a literal run
    // before the y match (17 + 3 + 2 extensions; 21 + 3 + 2 when refused).
    const auto near = padded(repeat_at(65535)), far = padded(repeat_at(65536));
    EXPECT_EQ(p.real(near), 9u + 3 + 22 + 1);
    EXPECT_EQ(p.raw(near), 9u + 3 + 22 + 1);
    EXPECT_EQ(p.real(far), 9u + 26 + 1);
    EXPECT_EQ(p.raw(far), 9u + 26 + 1);
}

TEST(Compress, HashCollisionIsRefusedByTheCompare) {
    const char* first = "wxyz";
    const uint32_t a = word_at(reinterpret_cast<const uint8_t*>(first));
    uint32_t b = 0x41414141u;  // search upwards from "AAAA" for another word in the same slot
    while (b == a || slot_of(b) != slot_of(a)) ++b;

    std::vector<uint8_t> in(20);
    std::memcpy(in.data(), first, 4);
    std::memcpy(in.data() + 4, &b, 4);
    std::memcpy(in.data() + 8, "0123456789ab", 12);
    for (size_t pos : {1u, 2u, 3u, 5u, 6u, 7u})  // no other scanned word takes the slot
        ASSERT_NE(slot_of(word_at(in.data() + pos)), slot_of(a)) << pos;

    Pass p;
    EXPECT_EQ(p.raw(in), in.size() + 1);  // all literals
    EXPECT_EQ(p.table[slot_of(a)], 4u);   // but the entry moved on
}

// `n` distinct letters, six 'q', eight distinct digits: the q run matches
// itself from its second byte (L = 5) after a literal run of n + 1.
std::vector<uint8_t> literal_run(size_t n) {
    std::string s = std::string("ABCDEFGHIJKLMNOPRSTUVWXYZ").substr(0, n) + "qqqqqq" + "01234567";
    return {s.begin(), s.end()};
}

// A run of r 'q' then twelve distinct digits: one match of r - 1 bytes after
// a literal run of 1.
std::vector<uint8_t> match_run(size_t r) {
    std::string s = std::string(r, 'q') + "0123456789!#";
    return {s.begin(), s.end()};
}

TEST(Compress, ExtensionBytesStartAtLiteral15AndMatch19) {
    Pass p;
    // (n + 1) + 3 + extension, then 8 trailing literals and 1.
    EXPECT_EQ(p.raw(literal_run(14)), 15u + 3 + 1 + 9);
    EXPECT_EQ(p.raw(literal_run(13)), 14u + 3 + 0 + 9);
    // 1 + 3 + extension, then 12 trailing literals and 1.
    EXPECT_EQ(p.raw(match_run(20)), 1u + 3 + 1 + 13);
    EXPECT_EQ(p.raw(match_run(19)), 1u + 3 + 0 + 13);
    // Very long runs and matches still carry one extension byte each.
    EXPECT_EQ(p.raw(literal_run(24)), 25u + 3 + 1 + 9);
    EXPECT_EQ(p.raw(match_run(5000)), 1u + 3 + 1 + 13);

    // The same boundaries through the portable pass: one more literal and
    // its extension byte; one more match byte and its extension byte.
    for (auto [a, b, diff] : {std::tuple{literal_run(14), literal_run(13), 2u},
                              std::tuple{match_run(20), match_run(19), 1u}}) {
        const auto pa = padded(a), pb = padded(b);
        const uint64_t ra = p.real(pa), rb = p.real(pb);
        EXPECT_EQ(ra, p.raw(pa));
        EXPECT_EQ(rb, p.raw(pb));
        EXPECT_EQ(ra - rb, diff);
    }
}

TEST(Compress, RawMatchesModelOnAssortedInputs) {
    // Small alphabets give many matches, collisions and overlaps; lengths
    // around the short-input threshold and odd sizes exercise the limits.
    uint64_t s = 12345;
    auto next = [&s] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33);
    };
    Pass p;
    for (size_t len : {16u, 17u, 28u, 29u, 100u, 1000u, 4099u, 70000u, 200001u}) {
        for (uint32_t alphabet : {2u, 4u, 26u, 256u}) {
            std::vector<uint8_t> in(len);
            for (auto& c : in) c = static_cast<uint8_t>('a' + next() % alphabet);
            EXPECT_EQ(p.raw(in), model_cost(in.data(), len)) << len << " " << alphabet;
        }
    }
}

TEST(Compress, RealPassMatchesRawAndModelOnOther4MiBInputs) {
    // Each 4 KiB stretch mixes a small alphabet with fresh bytes at its own
    // rate, so literal runs and matches of every length turn up.
    std::vector<uint8_t> in(kMiB4);
    uint64_t s = 99;
    auto next = [&s] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 32);
    };
    uint32_t fresh = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        if (i % 4096 == 0) fresh = next() % 160;
        const uint32_t r = next();
        in[i] = static_cast<uint8_t>((r & 255) < fresh ? r >> 8 : 'a' + (r >> 8) % 4);
    }
    Pass p;
    const uint64_t real = p.real(in);
    EXPECT_EQ(p.raw(in), real);
    EXPECT_EQ(model_cost(in.data(), in.size()), real);
}

TEST(Compress, BothSuitesAgreeOnTheCorpus) {
    ensure_workloads();
    Pass p;
    const uint64_t raw = qm_compress(g_corpus, kCorpusBytes, p.table.data());
    const uint64_t real = qm_c_compress(g_corpus, p.table.data());
    EXPECT_EQ(raw, real);
    EXPECT_EQ(raw, model_cost(g_corpus, kCorpusBytes));
    // Text of short words compresses: well below one byte per input byte.
    EXPECT_LT(raw, kCorpusBytes);
    EXPECT_GT(raw, kCorpusBytes / 16);

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

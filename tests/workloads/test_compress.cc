// The LZ77 match finder: hand-built inputs whose cost follows from the rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "workload_env.h"

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

// Both passes start from a table of junk: each must clear it first.
std::vector<uint32_t> g_table;
uint64_t raw(const Bytes& in) {
    g_table.assign(kHashEntries, 0xDEADBEEFu);
    return qm_compress(in.data(), in.size(), g_table.data());
}
uint64_t real(const Bytes& in) {
    g_table.assign(kHashEntries, 0xDEADBEEFu);
    return in.size() == kMiB4 ? qm_c_compress(in.data(), g_table.data()) : 0;
}

TEST(Compress, SmallAndUniformInputs) {
    // Position 0 is refused (its zero entry names itself); position 1 matches
    // at distance 1 and the overlapping match runs to the very end.
    EXPECT_EQ(raw(Bytes(kMiB4, 0)), 6u);
    EXPECT_EQ(real(Bytes(kMiB4, 0)), 6u);
    // Eight literals, then a 24-byte match at distance 8: 8 + 3 + 1, plus 1.
    EXPECT_EQ(raw(bytes("abcdefghabcdefghabcdefghabcdefgh")), 13u);
    for (size_t len : {0u, 15u}) {
        EXPECT_EQ(raw(Bytes(len, 'x')), len + 1) << len;
        EXPECT_EQ(g_table, std::vector<uint32_t>(kHashEntries, 0)) << len;
    }
    EXPECT_EQ(raw(Bytes(16, 'x')), 5u);  // sixteen bytes are scanned: 1 literal, a 15-byte match, 1
    // The scan stops before len - 12: of 20 bytes, a repeat at 7 is found;
    // one at 8 is not, whether a literal or a match comes before it.
    EXPECT_EQ(raw(bytes("ABCDefgABCDhijklmnop")), 7u + 3 + 9 + 1);
    EXPECT_EQ(raw(bytes("ABCDefghABCDijklmnop")), 21u);
    EXPECT_EQ(raw(bytes("abcdabcdbcdaXYZ12345")), 4u + 3 + 12 + 1);
}

TEST(Compress, DistanceLimitAndExtensionBytes) {
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
    for (const char* w : {"BCDz", "CDzz", "Dzzz", "zzzz"})
        ASSERT_NE(slot_of(word_at(w)), slot_of(word_at("ABCD")));
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
        {repeat_at(65535), 9 + 3 + 16 + 1},  // accepted: a 4-byte match, no literals
        {repeat_at(65536), 9 + 20 + 1},      // refused
        {literals(13), 14 + 3 + 0 + 9},      {literals(14), 15 + 3 + 1 + 9},
        {literals(24), 25 + 3 + 1 + 9},      {match(19), 1 + 3 + 0 + 13},
        {match(20), 1 + 3 + 1 + 13},         {match(5000), 1 + 3 + 1 + 13},
    };
    for (const auto& c : cases) EXPECT_EQ(raw(c.in), c.cost) << c.in.size();
}

}  // namespace

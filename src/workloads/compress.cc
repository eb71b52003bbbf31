// Compression test: a greedy LZ77 match finder over the shared 4 MiB corpus.
// No bytes are produced; a pass adds up what its literal runs and matches
// would cost to encode.
#include <cstring>

#include "workloads/kernels.h"

namespace {

constexpr uint64_t kInputBytes = 0x400000;
static_assert(kInputBytes == kCorpusBytes, "the portable pass is written for the corpus size");
// The last 12 positions are never hashed.
constexpr uint64_t kScanLimit = kInputBytes - 12;
constexpr uint64_t kMaxDistance = 65535;

inline uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);  // x86-64 only, so this is the little-endian word
    return v;
}

}  // namespace

uint64_t qm_c_compress(const uint8_t* input, uint32_t* table) {
    std::memset(table, 0, kHashEntries * sizeof(uint32_t));
    uint64_t pos = 0, anchor = 0, cost = 0;
    while (pos < kScanLimit) {
        const uint32_t word = load_u32(input + pos);
        const uint32_t slot = (word * 0x9E3779B1u) >> 16;
        const uint64_t cand = table[slot];
        table[slot] = static_cast<uint32_t>(pos);
        if (cand >= pos || pos - cand > kMaxDistance || load_u32(input + cand) != word) {
            ++pos;
            continue;
        }
        // The source may overlap the match itself; the match may run to the
        // very end of the input.
        const uint64_t distance = pos - cand;
        uint64_t end = pos + 4;
        while (end < kInputBytes && input[end] == input[end - distance]) ++end;

        const uint64_t literals = pos - anchor;
        cost += literals + 3;
        cost += literals >= 15;   // literal-length extension byte
        cost += end - pos >= 19;  // match-length extension byte
        pos = anchor = end;
    }
    return cost + (kInputBytes - anchor) + 1;
}

uint64_t run_compress(uint64_t iterations, Workspace* ws) {
    uint64_t total = 0;
    for (uint64_t i = 0; i < iterations; ++i) {
        if (g_c_backend != 1)
            total += qm_compress(g_corpus, kCorpusBytes, ws->hash_table);
        else
            total += qm_c_compress(g_corpus, ws->hash_table);
    }
    return total;
}

// Workload data: one generator, drawn in one fixed order, so every run on
// every machine works on the same bytes (only the ring count follows the
// thread count).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "workloads/workloads.h"

uint8_t* g_corpus = nullptr;
uint8_t* g_cipher_src = nullptr;
uint8_t* g_simd_src = nullptr;
Body* g_bodies_src = nullptr;
uint32_t* g_sort_src = nullptr;
alignas(16) uint8_t g_key[32];
Workspace* g_ws = nullptr;
uint64_t rng_state = 0;

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

inline uint64_t splitmix_mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

uint64_t rng_next() {
    rng_state += kGolden;
    return splitmix_mix(rng_state);
}

uint64_t rng_draw_at(uint64_t seed, uint64_t d) { return splitmix_mix(seed + d * kGolden); }

void fatal_out_of_memory(size_t size) {
    std::fprintf(stderr, "quillmoth: out of memory (%zu bytes)\n", size);
    std::exit(1);
}

void* alloc_aligned(size_t size) {
    void* p = nullptr;
    if (posix_memalign(&p, 64, size) != 0 || p == nullptr) fatal_out_of_memory(size);
    return p;
}

void build_corpus(uint8_t* out) {
    static const char* const words[22] = {
        "the",    "quick",    "brown",  "fox",         "jumps",    "over",     "lazy",     "dog",
        "benchmark", "processor", "assembly", "vector", "memory",   "cache",    "pipeline",
        "instruction", "compress", "data", "system", "performance", "register", "kernel"};
    size_t p = 0;
    while (p < kCorpusBytes) {
        const char* w = words[rng_next() % 22];
        const size_t len = std::strlen(w);
        if (p + len + 1 > kCorpusBytes) {
            // The last word never gets cut: pad the tail with spaces instead.
            std::memset(out + p, ' ', kCorpusBytes - p);
            return;
        }
        std::memcpy(out + p, w, len);
        out[p + len] = (rng_next() & 7) == 0 ? '\n' : ' ';
        p += len + 1;
    }
}

void build_ring(uint64_t* ring) {
    uint64_t* order = static_cast<uint64_t*>(alloc_aligned(kRingNodes * sizeof(uint64_t)));
    for (uint64_t i = 0; i < kRingNodes; ++i) order[i] = i;

    // Sattolo: j < i strictly, so the permutation is one cycle through all
    // nodes. Both passes touch memory at random; the draws are computed from
    // their positions a little ahead so the cache misses can overlap.
    constexpr uint64_t kAhead = 16;
    const uint64_t base = rng_state;
    const uint64_t swaps = kRingNodes - 1;
    uint64_t pending[kAhead];
    auto pick = [&](uint64_t t) {  // swap t handles i = N - 1 - t
        const uint64_t i = kRingNodes - 1 - t;
        return splitmix_mix(base + (t + 1) * kGolden) % i;
    };
    for (uint64_t t = 0; t < kAhead && t < swaps; ++t) {
        pending[t] = pick(t);
        __builtin_prefetch(&order[pending[t]], 1);
    }
    for (uint64_t t = 0; t < swaps; ++t) {
        const uint64_t i = kRingNodes - 1 - t;
        const uint64_t j = pending[t % kAhead];
        if (t + kAhead < swaps) {
            pending[t % kAhead] = pick(t + kAhead);
            __builtin_prefetch(&order[pending[t % kAhead]], 1);
        }
        const uint64_t tmp = order[i];
        order[i] = order[j];
        order[j] = tmp;
    }
    rng_state = base + swaps * kGolden;

    for (uint64_t k = 0; k < kRingNodes; ++k) {
        if (k + kAhead < kRingNodes) __builtin_prefetch(&ring[order[k + kAhead]], 1);
        const uint64_t next = order[(k + 1) % kRingNodes];
        ring[order[k]] = reinterpret_cast<uint64_t>(&ring[next]);
    }
    std::free(order);
}

namespace {

// Draws first+1 .. first+count computed from their positions: the long fills
// take no sequential dependency on the state, yet give the very same values.
template <typename T>
void fill_low_bits(T* out, size_t count) {
    const uint64_t base = rng_state;
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<T>(splitmix_mix(base + (i + 1) * kGolden));
    rng_state = base + count * kGolden;
}

void fill_workspace(Workspace* ws) {
    ws->sieve = static_cast<uint8_t*>(alloc_aligned(kSieveBytes));
    ws->hash_table = static_cast<uint32_t*>(alloc_aligned(kHashEntries * sizeof(uint32_t)));
    ws->cipher_buf = static_cast<uint8_t*>(alloc_aligned(kCipherBytes));
    ws->simd_block = static_cast<uint8_t*>(alloc_aligned(kSimdBytes));
    ws->bodies = static_cast<Body*>(alloc_aligned(kBodiesBytes));
    ws->sort_keys = static_cast<uint32_t*>(alloc_aligned(kSortKeys * sizeof(uint32_t)));
    ws->chase_ring = static_cast<uint64_t*>(alloc_aligned(kRingNodes * sizeof(uint64_t)));
    ws->stream_a = static_cast<float*>(alloc_aligned(kStreamElems * sizeof(float)));
    ws->stream_b = static_cast<float*>(alloc_aligned(kStreamElems * sizeof(float)));
    ws->stream_c = static_cast<float*>(alloc_aligned(kStreamElems * sizeof(float)));

    std::memcpy(ws->cipher_buf, g_cipher_src, kCipherBytes);
    std::memcpy(ws->simd_block, g_simd_src, kSimdBytes);
    build_ring(ws->chase_ring);
    for (size_t i = 0; i < kStreamElems; ++i) {
        ws->stream_a[i] = static_cast<float>(i % 1024) * 0x1p-10f;
        ws->stream_b[i] = static_cast<float>((17 * i) % 1024) * 0x1p-10f;
        ws->stream_c[i] = 0.0f;
    }
}

}  // namespace

void prepare_workloads() {
    rng_state = kWorkloadSeed;

    g_corpus = static_cast<uint8_t*>(alloc_aligned(kCorpusBytes));
    g_cipher_src = static_cast<uint8_t*>(alloc_aligned(kCipherBytes));
    g_simd_src = static_cast<uint8_t*>(alloc_aligned(kSimdBytes));
    g_bodies_src = static_cast<Body*>(alloc_aligned(kBodiesBytes));
    g_sort_src = static_cast<uint32_t*>(alloc_aligned(kSortKeys * sizeof(uint32_t)));

    build_corpus(g_corpus);
    fill_low_bits(g_cipher_src, kCipherBytes);
    fill_low_bits(g_key, sizeof g_key);
    fill_low_bits(g_simd_src, kSimdBytes);
    fill_low_bits(g_sort_src, kSortKeys);
    for (size_t b = 0; b < kBodyCount; ++b) {
        const uint64_t d1 = rng_next(), d2 = rng_next(), d3 = rng_next(), d4 = rng_next();
        Body& body = g_bodies_src[b];
        body.x = static_cast<double>(d1 % 2000) / 1000.0 - 1.0;
        body.y = static_cast<double>(d2 % 2000) / 1000.0 - 1.0;
        body.z = static_cast<double>(d3 % 2000) / 1000.0 - 1.0;
        body.m = static_cast<double>(d4 % 900) / 1000.0 + 0.1;
        body.vx = body.vy = body.vz = 0.0;
        body.reserved = 0.0;
    }

    g_ws = static_cast<Workspace*>(alloc_aligned(static_cast<size_t>(g_ncores) * sizeof(Workspace)));
    for (int64_t k = 0; k < g_ncores; ++k) fill_workspace(&g_ws[k]);
}

void release_workloads() {
    for (int64_t k = 0; k < g_ncores; ++k) {
        Workspace& ws = g_ws[k];
        std::free(ws.sieve);
        std::free(ws.hash_table);
        std::free(ws.cipher_buf);
        std::free(ws.simd_block);
        std::free(ws.bodies);
        std::free(ws.sort_keys);
        std::free(ws.chase_ring);
        std::free(ws.stream_a);
        std::free(ws.stream_b);
        std::free(ws.stream_c);
    }
    std::free(g_ws);
    std::free(g_corpus);
    std::free(g_cipher_src);
    std::free(g_simd_src);
    std::free(g_bodies_src);
    std::free(g_sort_src);
    g_ws = nullptr;
    g_corpus = g_cipher_src = g_simd_src = nullptr;
    g_bodies_src = nullptr;
    g_sort_src = nullptr;
}

// Workload data: one generator, drawn in one fixed order, so every run on
// every machine works on the same bytes (only the ring count follows the
// thread count).
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "workloads/alloc.h"
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

void build_ring(uint64_t* ring, uint64_t state, uint64_t* order) {
    for (uint64_t i = 0; i < kRingNodes; ++i) order[i] = i;

    // Sattolo: j < i strictly, so the permutation is one cycle through all
    // nodes. Both passes touch memory at random; the draws are computed from
    // their positions a little ahead so the cache misses can overlap.
    constexpr uint64_t kAhead = 16;
    const uint64_t swaps = kRingNodes - 1;
    uint64_t pending[kAhead];
    auto pick = [&](uint64_t t) {  // swap t handles i = N - 1 - t
        return rng_draw_at(state, t + 1) % (kRingNodes - 1 - t);
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

    for (uint64_t k = 0; k < kRingNodes; ++k) {
        if (k + kAhead < kRingNodes) __builtin_prefetch(&ring[order[k + kAhead]], 1);
        const uint64_t next = order[(k + 1) % kRingNodes];
        ring[order[k]] = reinterpret_cast<uint64_t>(&ring[next]);
    }
}

namespace {

// Draws 1 .. count from the state, low bits kept: the long fills take no
// sequential dependency on the state, yet give the very same values.
template <typename T>
void fill_low_bits(T* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<T>(rng_draw_at(rng_state, i + 1));
    rng_state += count * kGolden;
}

// The generator state ring 0 starts from; ring k starts (kRingNodes - 1) * k
// draws later, where ring k - 1 left it.
uint64_t g_ring_base = 0;

void fill_cipher(void* buf, int64_t, uint64_t*) { std::memcpy(buf, g_cipher_src, kCipherBytes); }
void fill_simd(void* buf, int64_t, uint64_t*) { std::memcpy(buf, g_simd_src, kSimdBytes); }
void fill_ring(void* buf, int64_t k, uint64_t* scratch) {
    const uint64_t state = g_ring_base + static_cast<uint64_t>(k) * (kRingNodes - 1) * kGolden;
    build_ring(static_cast<uint64_t*>(buf), state, scratch);
}
// The stream values are exact in single precision.
void fill_stream_a(void* buf, int64_t, uint64_t*) {
    float* a = static_cast<float*>(buf);
    for (size_t i = 0; i < kStreamElems; ++i) a[i] = static_cast<float>(i % 1024) * 0x1p-10f;
}
void fill_stream_b(void* buf, int64_t, uint64_t*) {
    float* b = static_cast<float*>(buf);
    for (size_t i = 0; i < kStreamElems; ++i) b[i] = static_cast<float>((17 * i) % 1024) * 0x1p-10f;
}
void fill_zero(void* buf, int64_t, uint64_t*) { std::memset(buf, 0, kStreamElems * sizeof(float)); }

void set_workspace_buffer(Workspace* ws, int i, void* p) {
    std::memcpy(reinterpret_cast<char*>(ws) + g_workspace_buffers[i].offset, &p, sizeof p);
}

// One preparation thread's share: workspaces first, first + step, ...
struct Share {
    int64_t first, step;
    uint64_t* scratch;
};

void* fill_share(void* arg) {
    const Share* share = static_cast<const Share*>(arg);
    for (int64_t k = share->first; k < g_ncores; k += share->step)
        for (int i = 0; i < kWorkspaceBufferCount; ++i)
            if (g_workspace_buffers[i].fill != nullptr)
                g_workspace_buffers[i].fill(workspace_buffer(&g_ws[k], i), k, share->scratch);
    return nullptr;
}

}  // namespace

#define QM_BUFFER(member, bytes, fill) {offsetof(Workspace, member), bytes, fill}
const WorkspaceBuffer g_workspace_buffers[kWorkspaceBufferCount] = {
    QM_BUFFER(sieve, kSieveBytes, nullptr),
    QM_BUFFER(hash_table, kHashEntries * sizeof(uint32_t), nullptr),
    QM_BUFFER(cipher_buf, kCipherBytes, fill_cipher),
    QM_BUFFER(simd_block, kSimdBytes, fill_simd),
    QM_BUFFER(bodies, kBodiesBytes, nullptr),
    QM_BUFFER(sort_keys, kSortKeys * sizeof(uint32_t), nullptr),
    QM_BUFFER(chase_ring, kRingNodes * sizeof(uint64_t), fill_ring),
    QM_BUFFER(stream_a, kStreamElems * sizeof(float), fill_stream_a),
    QM_BUFFER(stream_b, kStreamElems * sizeof(float), fill_stream_b),
    QM_BUFFER(stream_c, kStreamElems * sizeof(float), fill_zero),
};
#undef QM_BUFFER

void* workspace_buffer(const Workspace* ws, int i) {
    void* p;
    std::memcpy(&p, reinterpret_cast<const char*>(ws) + g_workspace_buffers[i].offset, sizeof p);
    return p;
}

void prepare_workloads_with(int64_t threads, CreateThreadFn create) {
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

    // Everything is allocated here, on the calling thread, so an allocation
    // failure ends the process from one place; the threads only fill.
    g_ws = static_cast<Workspace*>(alloc_aligned(static_cast<size_t>(g_ncores) * sizeof(Workspace)));
    for (int64_t k = 0; k < g_ncores; ++k)
        for (int i = 0; i < kWorkspaceBufferCount; ++i)
            set_workspace_buffer(&g_ws[k], i, alloc_aligned(g_workspace_buffers[i].bytes));

    const int64_t shares = threads < 1 ? 1 : threads > g_ncores ? g_ncores : threads;
    Share* share = static_cast<Share*>(alloc_aligned(static_cast<size_t>(shares) * sizeof(Share)));
    pthread_t* handles = static_cast<pthread_t*>(alloc_aligned(static_cast<size_t>(shares) * sizeof(pthread_t)));
    uint8_t* started = static_cast<uint8_t*>(alloc_aligned(static_cast<size_t>(shares)));
    for (int64_t s = 0; s < shares; ++s)
        share[s] = {s, shares, static_cast<uint64_t*>(alloc_aligned(kRingNodes * sizeof(uint64_t)))};

    g_ring_base = rng_state;
    for (int64_t s = 1; s < shares; ++s) started[s] = create(&handles[s], nullptr, fill_share, &share[s]) == 0;
    fill_share(&share[0]);
    for (int64_t s = 1; s < shares; ++s)
        if (!started[s]) fill_share(&share[s]);
    for (int64_t s = 1; s < shares; ++s)
        if (started[s]) pthread_join(handles[s], nullptr);
    // Where drawing one by one would have left the generator.
    rng_state = g_ring_base + static_cast<uint64_t>(g_ncores) * (kRingNodes - 1) * kGolden;

    for (int64_t s = 0; s < shares; ++s) std::free(share[s].scratch);
    std::free(share);
    std::free(handles);
    std::free(started);
}

void prepare_workloads() { prepare_workloads_with(g_ncores, pthread_create); }

void release_workloads() {
    for (int64_t k = 0; k < g_ncores; ++k)
        for (int i = 0; i < kWorkspaceBufferCount; ++i) std::free(workspace_buffer(&g_ws[k], i));
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

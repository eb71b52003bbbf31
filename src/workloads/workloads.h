// The test table and the workload data: the per-thread workspaces and the
// shared sources they are filled from.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "workloads/catalogue.h"
#include "workloads/raw/body_layout.h"

// One body of the N-body test: 64 bytes, the layout the RAW kernel reads.
struct Body {
    double x, y, z, m;
    double vx, vy, vz;
    double reserved;
};
// The physics kernel addresses the fields through body_layout.h.
static_assert(sizeof(Body) == QM_BODY_SIZE && sizeof(Body) == 1 << QM_BODY_SIZE_LOG2);
static_assert(offsetof(Body, x) == QM_BODY_X);
static_assert(offsetof(Body, y) == QM_BODY_Y);
static_assert(offsetof(Body, z) == QM_BODY_Z);
static_assert(offsetof(Body, m) == QM_BODY_M);
static_assert(offsetof(Body, vx) == QM_BODY_VX);
static_assert(offsetof(Body, vy) == QM_BODY_VY);
static_assert(offsetof(Body, vz) == QM_BODY_VZ);

// One thread's buffers; thread k of a dispatch uses g_ws[k].
struct Workspace {
    uint8_t* sieve;        // 2,000,000 flags
    uint32_t* hash_table;  // 65,536 entries
    uint8_t* cipher_buf;   // 1 MiB, encrypted in place
    uint8_t* simd_block;   // 256 bytes
    Body* bodies;          // 512 bodies
    uint32_t* sort_keys;   // 1,048,576 keys
    uint64_t* chase_ring;  // 2,097,152 nodes, each the address of the next
    float* stream_a;       // 1,048,576 floats each
    float* stream_b;
    float* stream_c;
};

using RunFn = uint64_t (*)(uint64_t iterations, Workspace* ws);

struct TestInfo {
    const char* name;
    const char* detail;
    RunFn run;
    uint64_t start_iterations;
    double work_per_iteration;
    const char* unit;
};

extern const TestInfo tests[kTestCount];

// 1 selects the REAL kernels, anything else the RAW ones. Written only by the
// driver between suites, while no worker thread exists.
extern unsigned char g_c_backend;

// Thread count of every multi-core pass; set once after the system probe.
extern int64_t g_ncores;

// Sizes fixed by the workloads.
constexpr size_t kCorpusBytes = 4194304;
constexpr size_t kCipherBytes = 1048576;
constexpr size_t kSimdBytes = 256;
constexpr size_t kBodyCount = 512;
constexpr size_t kBodiesBytes = kBodyCount * sizeof(Body);
constexpr size_t kSortKeys = 1048576;
constexpr size_t kSieveBytes = 2000000;
constexpr size_t kHashEntries = 65536;
constexpr size_t kRingNodes = 2097152;
constexpr size_t kStreamElems = 1048576;

// Shared sources: built once by prepare_workloads, read-only afterwards.
extern uint8_t* g_corpus;
extern uint8_t* g_cipher_src;
extern uint8_t* g_simd_src;
extern Body* g_bodies_src;
extern uint32_t* g_sort_src;
extern uint8_t g_key[32];
extern Workspace* g_ws;

// The per-thread buffers in Workspace member order: one list drives their
// allocation, filling and release. fill, where set, writes workspace k's
// contents from k alone (scratch: kRingNodes entries of working memory), so
// workspaces can be filled in any order and at the same time.
struct WorkspaceBuffer {
    size_t offset;  // of the buffer's pointer in Workspace
    size_t bytes;
    void (*fill)(void* buffer, int64_t k, uint64_t* scratch);
};
constexpr int kWorkspaceBufferCount = sizeof(Workspace) / sizeof(void*);
static_assert(kWorkspaceBufferCount == 10, "a workspace is ten buffer pointers");
extern const WorkspaceBuffer g_workspace_buffers[kWorkspaceBufferCount];
void* workspace_buffer(const Workspace* ws, int i);

// The workload generator (SplitMix64), used only during preparation.
extern uint64_t rng_state;
constexpr uint64_t kWorkloadSeed = 0x5155494C4C4D4F54ull;  // "QUILLMOT"
uint64_t rng_next();
// Draw number d (counting from 1) after the state was set to seed.
uint64_t rng_draw_at(uint64_t seed, uint64_t d);

void build_corpus(uint8_t* out);
// Links ring into one cycle by a Sattolo shuffle drawn from the generator at
// `state` (2,097,151 draws); order is scratch for kRingNodes entries.
void build_ring(uint64_t* ring, uint64_t state, uint64_t* order);

// Builds the shared sources, then fills the g_ncores workspaces on up to
// `threads` threads at once (the caller being one of them); a thread that
// create cannot start leaves its share to the caller. The bytes are the same
// for every thread count.
using CreateThreadFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
void prepare_workloads_with(int64_t threads, CreateThreadFn create);
// One thread per workspace.
void prepare_workloads();
void release_workloads();

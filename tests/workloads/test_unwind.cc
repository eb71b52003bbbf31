// A debugger's or profiler's backtrace from inside a hand-written kernel must
// reach the C++ code that called it: the kernels' call-frame information has
// to describe every stack change. Each kernel that touches memory is made to
// fault on a guard page partway through its work (qm_sort inside
// st_siftdown, below its own saved registers), and the signal handler walks
// the stack with the system unwinder. The two arithmetic kernels touch no
// memory, so nothing here can stop them inside.
#include <gtest/gtest.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#include <unwind.h>

#include <cstring>
#include <vector>

#include "workloads/kernels.h"
#include "workloads/workloads.h"

namespace {

constexpr int kMaxFrames = 64;
const void* g_frames[kMaxFrames];  // each frame's function, innermost first
int g_frame_count = 0;
sigjmp_buf g_escape;

_Unwind_Reason_Code note_frame(_Unwind_Context* context, void*) {
    if (g_frame_count == kMaxFrames) return _URC_END_OF_STACK;
    int before_insn = 0;
    uintptr_t ip = _Unwind_GetIPInfo(context, &before_insn);
    // The faulting frame's address is the instruction itself, which may be a
    // function's first; the others are return addresses, just past a call.
    if (before_insn) ++ip;
    g_frames[g_frame_count++] = _Unwind_FindEnclosingFunction(reinterpret_cast<void*>(ip));
    return _URC_NO_REASON;
}

void on_fault(int) {
    g_frame_count = 0;
    _Unwind_Backtrace(note_frame, nullptr);
    siglongjmp(g_escape, 1);
}

enum Kernel { kPrimes, kSimd, kCompress, kChaCha, kPhysics, kSort, kChase };

volatile uint64_t g_sink;

// The C++ caller the backtrace must reach. Not inlined, and the kernel's
// result is used after the call, so that the call is not a jump.
__attribute__((noinline)) void call_kernel(Kernel k, uint8_t* guard) {
    static uint8_t key[32];
    static uint8_t input[4096];
    switch (k) {
        case kPrimes: g_sink = qm_primes(1 << 16, guard - 64); break;
        case kSimd: g_sink = qm_simd(1, guard); break;
        case kCompress: g_sink = qm_compress(input, sizeof input, reinterpret_cast<uint32_t*>(guard)); break;
        case kChaCha: g_sink = qm_chacha20(guard - 64, 4096, key, 1); break;
        case kPhysics: g_sink = qm_physics(reinterpret_cast<Body*>(guard) - 2, 16, 1); break;
        case kSort: g_sink = qm_sort(reinterpret_cast<uint32_t*>(guard) - 16, 1024); break;
        case kChase: {
            // One good link, then a load from the guard page inside the loop.
            uint64_t* ring = reinterpret_cast<uint64_t*>(guard) - 1;
            *ring = reinterpret_cast<uint64_t>(guard);
            g_sink = qm_chase(ring, 8);
            break;
        }
    }
    g_sink = g_sink + 1;
}

TEST(Unwind, EveryKernelUnwindsToItsCaller) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    uint8_t* guard = static_cast<uint8_t*>(map) + page;
    ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);

    struct sigaction action = {}, old_segv = {}, old_bus = {};
    action.sa_handler = on_fault;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGSEGV, &action, &old_segv), 0);
    ASSERT_EQ(sigaction(SIGBUS, &action, &old_bus), 0);  // macOS reports a guard page so

    const void* caller = reinterpret_cast<const void*>(&call_kernel);
    const void* siftdown = reinterpret_cast<const void*>(&st_siftdown);
    const struct {
        Kernel kernel;
        const char* name;
        const void* entry;
    } cases[] = {
        {kPrimes, "qm_primes", reinterpret_cast<const void*>(&qm_primes)},
        {kSimd, "qm_simd", reinterpret_cast<const void*>(&qm_simd)},
        {kCompress, "qm_compress", reinterpret_cast<const void*>(&qm_compress)},
        {kChaCha, "qm_chacha20", reinterpret_cast<const void*>(&qm_chacha20)},
        {kPhysics, "qm_physics", reinterpret_cast<const void*>(&qm_physics)},
        {kSort, "qm_sort", reinterpret_cast<const void*>(&qm_sort)},
        {kChase, "qm_chase", reinterpret_cast<const void*>(&qm_chase)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_frame_count = 0;
        if (sigsetjmp(g_escape, 1) == 0) {
            call_kernel(c.kernel, guard);
            ADD_FAILURE() << "no fault";
            continue;
        }
        const std::vector<const void*> frames(g_frames, g_frames + g_frame_count);
        int at = -1;
        for (int i = 0; i + 1 < g_frame_count; ++i)
            if (frames[i] == c.entry) {
                at = i;
                break;
            }
        ASSERT_GE(at, 1) << "the kernel's frame is missing (" << g_frame_count << " frames)";
        EXPECT_EQ(frames[at + 1], caller) << "the walk does not go from the kernel to its caller";
        if (c.kernel == kSort) {
            EXPECT_EQ(frames[at - 1], siftdown) << "the fault was not inside st_siftdown";
        }
    }
    sigaction(SIGSEGV, &old_segv, nullptr);
    sigaction(SIGBUS, &old_bus, nullptr);
    munmap(map, 2 * page);
}

}  // namespace

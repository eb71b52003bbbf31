// The triad yardstick with Advanced SIMD intrinsics: one cache line per
// step, a separate multiply and add (never a fused one), ordinary stores.
#include <arm_neon.h>

#include "bench_util.h"

void triad_reference_pass(float* c, const float* a, const float* b) {
    const float32x4_t s = vdupq_n_f32(kTriadScalar);
    for (size_t i = 0; i < kStreamElems; i += 16) {
        const float32x4_t b0 = vld1q_f32(b + i), b1 = vld1q_f32(b + i + 4);
        const float32x4_t b2 = vld1q_f32(b + i + 8), b3 = vld1q_f32(b + i + 12);
        const float32x4_t a0 = vld1q_f32(a + i), a1 = vld1q_f32(a + i + 4);
        const float32x4_t a2 = vld1q_f32(a + i + 8), a3 = vld1q_f32(a + i + 12);
        vst1q_f32(c + i, vaddq_f32(vmulq_f32(b0, s), a0));
        vst1q_f32(c + i + 4, vaddq_f32(vmulq_f32(b1, s), a1));
        vst1q_f32(c + i + 8, vaddq_f32(vmulq_f32(b2, s), a2));
        vst1q_f32(c + i + 12, vaddq_f32(vmulq_f32(b3, s), a3));
    }
}

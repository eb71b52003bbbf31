// The triad yardstick with SSE intrinsics: one cache line per step, aligned
// loads, ordinary stores.
#include <emmintrin.h>

#include "bench_util.h"

void triad_reference_pass(float* c, const float* a, const float* b) {
    const __m128 s = _mm_set1_ps(kTriadScalar);
    for (size_t i = 0; i < kStreamElems; i += 16) {
        const __m128 b0 = _mm_load_ps(b + i), b1 = _mm_load_ps(b + i + 4);
        const __m128 b2 = _mm_load_ps(b + i + 8), b3 = _mm_load_ps(b + i + 12);
        const __m128 a0 = _mm_load_ps(a + i), a1 = _mm_load_ps(a + i + 4);
        const __m128 a2 = _mm_load_ps(a + i + 8), a3 = _mm_load_ps(a + i + 12);
        _mm_store_ps(c + i, _mm_add_ps(_mm_mul_ps(b0, s), a0));
        _mm_store_ps(c + i + 4, _mm_add_ps(_mm_mul_ps(b1, s), a1));
        _mm_store_ps(c + i + 8, _mm_add_ps(_mm_mul_ps(b2, s), a2));
        _mm_store_ps(c + i + 12, _mm_add_ps(_mm_mul_ps(b3, s), a3));
    }
}

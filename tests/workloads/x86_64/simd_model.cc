// The RAW vector round loop in SSE2 intrinsics, run on the same processor, so
// rcpps and rsqrtps give the same bits as in the kernel.
#include <emmintrin.h>

#include "workloads/simd_model.h"

uint64_t simd_model(const uint8_t* block, uint64_t rounds) {
    if (rounds == 0) return 0;
    __m128i s[8];
    for (int k = 0; k < 8; ++k) s[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * k));
    __m128 f = _mm_cvtepi32_ps(s[0]), g = _mm_cvtepi32_ps(s[1]), a = _mm_setzero_ps();
    for (uint64_t r = 0; r < rounds; ++r) {
        const __m128i u = _mm_add_epi16(_mm_mullo_epi16(s[0], s[1]), s[2]);
        const __m128i v = _mm_add_epi16(_mm_mullo_epi16(s[1], s[2]), s[3]);
        const __m128i w = _mm_add_epi16(_mm_mullo_epi16(s[2], s[3]), u);
        s[4] = _mm_adds_epi16(s[4], u);
        s[5] = _mm_adds_epu16(s[5], v);
        s[6] = _mm_subs_epi16(s[6], w);
        s[7] = _mm_subs_epu16(s[7], s[3]);
        s[3] = _mm_add_epi32(s[3], _mm_madd_epi16(u, v));
        const __m128i x = _mm_xor_si128(w, _mm_mulhi_epi16(u, v));
        s[2] = _mm_or_si128(_mm_slli_epi32(x, 3), _mm_srli_epi32(x, 29));
        s[3] = _mm_and_si128(s[3], s[4]);
        s[5] = _mm_max_epi16(s[5], u);
        s[6] = _mm_min_epi16(s[6], v);
        s[7] = _mm_avg_epu8(s[7], s[4]);
        s[4] = _mm_add_epi16(s[4], _mm_sad_epu8(u, s[5]));
        s[0] = _mm_shuffle_epi32(u, 0x1b);
        s[1] = _mm_xor_si128(v, s[0]);
        const __m128 p = _mm_add_ps(a, _mm_mul_ps(f, g));
        a = _mm_add_ps(p, _mm_rcp_ps(f));
        f = _mm_mul_ps(f, _mm_rsqrt_ps(p));
    }
    __m128i t = _mm_cvttps_epi32(a);
    for (const __m128i& v : s) t = _mm_xor_si128(t, v);
    uint32_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), t);
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

/* uint64_t qm_simd(uint64_t rounds, uint8_t *block)
 *
 * The 128-bit round loop. The whole state stays in registers and the loop
 * touches no memory:
 *   xmm0..xmm7 = S0..S7 (the first 128 bytes of the block, read unaligned)
 *   xmm8 = F, xmm9 = G (fixed), xmm10 = A
 *   xmm11 = u, xmm12 = v, xmm13 = w, xmm14/xmm15 = scratch (P lives in A
 *   between steps 17 and 19, R and Q in xmm14/xmm15)
 * rdi counts the rounds down. Returns the 32-bit lane sum of
 * S0 ^ ... ^ S7 ^ cvttps2dq(A), zero-extended; 0 when rounds is 0.
 * Lines follow the round table. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_simd)
    xorl    %eax, %eax
    testq   %rdi, %rdi
    jz      LOCAL_LABEL(simd_done)

    movdqu  0(%rsi), %xmm0
    movdqu  16(%rsi), %xmm1
    movdqu  32(%rsi), %xmm2
    movdqu  48(%rsi), %xmm3
    movdqu  64(%rsi), %xmm4
    movdqu  80(%rsi), %xmm5
    movdqu  96(%rsi), %xmm6
    movdqu  112(%rsi), %xmm7
    cvtdq2ps %xmm0, %xmm8               /* F = float(S0) */
    cvtdq2ps %xmm1, %xmm9               /* G = float(S1) */
    xorps   %xmm10, %xmm10              /* A = +0.0 */

    .p2align 4
LOCAL_LABEL(simd_round):
    movdqa  %xmm0, %xmm11               /* 1: u = S0 *lo S1 + S2 */
    pmullw  %xmm1, %xmm11
    paddw   %xmm2, %xmm11
    movdqa  %xmm1, %xmm12               /* 2: v = S1 *lo S2 + S3 */
    pmullw  %xmm2, %xmm12
    paddw   %xmm3, %xmm12
    movdqa  %xmm2, %xmm13               /* 3: w = S2 *lo S3 + u */
    pmullw  %xmm3, %xmm13
    paddw   %xmm11, %xmm13
    paddsw  %xmm11, %xmm4               /* 4: S4 = S4 +sat u */
    paddusw %xmm12, %xmm5               /* 5: S5 = S5 +usat v */
    psubsw  %xmm13, %xmm6               /* 6: S6 = S6 -sat w */
    psubusw %xmm3, %xmm7                /* 7: S7 = S7 -usat S3 */
    movdqa  %xmm11, %xmm14              /* 8: S3 += madd(u, v) */
    pmaddwd %xmm12, %xmm14
    paddd   %xmm14, %xmm3
    movdqa  %xmm11, %xmm2               /* 9: S2 = rotl32(w ^ mulhi(u, v), 3) */
    pmulhw  %xmm12, %xmm2
    pxor    %xmm13, %xmm2
    movdqa  %xmm2, %xmm14
    pslld   $3, %xmm2
    psrld   $29, %xmm14
    por     %xmm14, %xmm2
    pand    %xmm4, %xmm3                /* 10: S3 &= S4 */
    pmaxsw  %xmm11, %xmm5               /* 11: S5 = max(S5, u) */
    pminsw  %xmm12, %xmm6               /* 12: S6 = min(S6, v) */
    pavgb   %xmm4, %xmm7                /* 13: S7 = avg(S7, S4) */
    movdqa  %xmm11, %xmm14              /* 14: S4 += sad(u, S5) */
    psadbw  %xmm5, %xmm14
    paddw   %xmm14, %xmm4
    pshufd  $0x1b, %xmm11, %xmm0        /* 15: S0 = u, lanes reversed */
    movdqa  %xmm12, %xmm1               /* 16: S1 = v ^ S0 */
    pxor    %xmm0, %xmm1
    movaps  %xmm8, %xmm14               /* 17: P = A + F * G (in A) */
    mulps   %xmm9, %xmm14
    addps   %xmm14, %xmm10
    rcpps   %xmm8, %xmm14               /* 18: R = rcp(F), Q = rsqrt(P) */
    rsqrtps %xmm10, %xmm15
    addps   %xmm14, %xmm10              /* 19: A = P + R, F = F * Q */
    mulps   %xmm15, %xmm8

    decq    %rdi
    jnz     LOCAL_LABEL(simd_round)

    cvttps2dq %xmm10, %xmm10            /* T = S0 ^ ... ^ S7 ^ int(A) */
    pxor    %xmm1, %xmm0
    pxor    %xmm2, %xmm0
    pxor    %xmm3, %xmm0
    pxor    %xmm4, %xmm0
    pxor    %xmm5, %xmm0
    pxor    %xmm6, %xmm0
    pxor    %xmm7, %xmm0
    pxor    %xmm10, %xmm0
    pshufd  $0x4e, %xmm0, %xmm1         /* T0 + T1 + T2 + T3, mod 2^32 */
    paddd   %xmm1, %xmm0
    pshufd  $0xb1, %xmm0, %xmm1
    paddd   %xmm1, %xmm0
    movd    %xmm0, %eax                 /* zero-extends into rax */
LOCAL_LABEL(simd_done):
    ret
END_FUNCTION(qm_simd)

OBJECT_NOTES

/* uint64_t qm_simd(uint64_t rounds, uint8_t *block)
 *
 * The 128-bit round loop, the steps of the x86-64 routine in the same order
 * with Advanced SIMD in place of SSE2. The whole state stays in registers
 * and the loop touches no memory:
 *   v0..v7 = S0..S7 (the first 128 bytes of the block, read unaligned)
 *   v16 = F, v17 = G (fixed), v18 = A
 *   v19 = u, v20 = v, v21 = w, v22..v28 = scratch (P lives in A between
 *   steps 17 and 19, R and Q in v27/v28)
 * x0 counts the rounds down. Returns the 32-bit lane sum of
 * S0 ^ ... ^ S7 ^ cvttps2dq(A), zero-extended; 0 when rounds is 0.
 * Every lane result equals its SSE2 instruction's except R and Q, which are
 * FRECPE and FRSQRTE: the Arm architecture defines their bits exactly, so
 * this checksum is the same on every arm64 processor. Floats are never
 * fused (fmul, then fadd). */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_simd)
    cbz     x0, LOCAL_LABEL(simd_done)

    ldp     q0, q1, [x1]
    ldp     q2, q3, [x1, #32]
    ldp     q4, q5, [x1, #64]
    ldp     q6, q7, [x1, #96]
    scvtf   v16.4s, v0.4s               /* F = float(S0), to nearest even */
    scvtf   v17.4s, v1.4s               /* G = float(S1) */
    movi    v18.2d, #0                  /* A = +0.0 */

    .p2align 4
LOCAL_LABEL(simd_round):
    mul     v19.8h, v0.8h, v1.8h        /* 1: u = S0 *lo S1 + S2 */
    add     v19.8h, v19.8h, v2.8h
    mul     v20.8h, v1.8h, v2.8h        /* 2: v = S1 *lo S2 + S3 */
    add     v20.8h, v20.8h, v3.8h
    mul     v21.8h, v2.8h, v3.8h        /* 3: w = S2 *lo S3 + u */
    add     v21.8h, v21.8h, v19.8h
    sqadd   v4.8h, v4.8h, v19.8h        /* 4: S4 = S4 +sat u */
    uqadd   v5.8h, v5.8h, v20.8h        /* 5: S5 = S5 +usat v */
    sqsub   v6.8h, v6.8h, v21.8h        /* 6: S6 = S6 -sat w */
    uqsub   v7.8h, v7.8h, v3.8h         /* 7: S7 = S7 -usat S3 */
    smull   v22.4s, v19.4h, v20.4h      /* 8: S3 += madd(u, v): the signed */
    smull2  v23.4s, v19.8h, v20.8h      /*    32-bit products of lanes 0..7, */
    addp    v24.4s, v22.4s, v23.4s      /*    each even/odd pair added */
    add     v3.4s, v3.4s, v24.4s
    uzp2    v25.8h, v22.8h, v23.8h      /* 9: S2 = rotl32(w ^ mulhi(u, v), 3); */
    eor     v25.16b, v25.16b, v21.16b   /*    mulhi is the products' high halves */
    ushr    v2.4s, v25.4s, #29
    sli     v2.4s, v25.4s, #3
    and     v3.16b, v3.16b, v4.16b      /* 10: S3 &= S4 */
    smax    v5.8h, v5.8h, v19.8h        /* 11: S5 = max(S5, u) */
    smin    v6.8h, v6.8h, v20.8h        /* 12: S6 = min(S6, v) */
    urhadd  v7.16b, v7.16b, v4.16b      /* 13: S7 = avg(S7, S4), rounding up */
    uabd    v26.16b, v19.16b, v5.16b    /* 14: S4 += sad(u, S5): byte */
    uaddlp  v26.8h, v26.16b             /*     differences summed into each */
    uaddlp  v26.4s, v26.8h              /*     64-bit half, whose upper */
    uaddlp  v26.2d, v26.4s              /*     48 bits stay zero */
    add     v4.8h, v4.8h, v26.8h
    rev64   v0.4s, v19.4s               /* 15: S0 = u, 32-bit lanes reversed */
    ext     v0.16b, v0.16b, v0.16b, #8
    eor     v1.16b, v20.16b, v0.16b     /* 16: S1 = v ^ S0 */
    fmul    v27.4s, v16.4s, v17.4s      /* 17: P = A + F * G (in A) */
    fadd    v18.4s, v18.4s, v27.4s
    frecpe  v27.4s, v16.4s              /* 18: R = recpe(F), Q = rsqrte(P) */
    frsqrte v28.4s, v18.4s
    fadd    v18.4s, v18.4s, v27.4s      /* 19: A = P + R, F = F * Q */
    fmul    v16.4s, v16.4s, v28.4s

    subs    x0, x0, #1
    b.ne    LOCAL_LABEL(simd_round)

    /* int(A) as cvttps2dq gives it: fcvtzs saturates and turns NaN into 0,
     * where x86-64 gives 0x80000000 for NaN and for |A| >= 2^31, so those
     * lanes are replaced. */
    fcvtzs  v22.4s, v18.4s
    movi    v23.4s, #0x4f, lsl #24      /* 2^31 as a float */
    facgt   v24.4s, v23.4s, v18.4s      /* lanes with |A| < 2^31 (not NaN) */
    movi    v25.4s, #0x80, lsl #24
    bif     v22.16b, v25.16b, v24.16b

    eor     v0.16b, v0.16b, v1.16b      /* T = S0 ^ ... ^ S7 ^ int(A) */
    eor     v0.16b, v0.16b, v2.16b
    eor     v0.16b, v0.16b, v3.16b
    eor     v0.16b, v0.16b, v4.16b
    eor     v0.16b, v0.16b, v5.16b
    eor     v0.16b, v0.16b, v6.16b
    eor     v0.16b, v0.16b, v7.16b
    eor     v0.16b, v0.16b, v22.16b
    addv    s0, v0.4s                   /* T0 + T1 + T2 + T3, mod 2^32 */
    fmov    w0, s0                      /* zero-extends into x0 */
LOCAL_LABEL(simd_done):
    ret
END_FUNCTION(qm_simd)

OBJECT_NOTES

/* uint64_t qm_fp_math(uint64_t steps)
 *
 * The scalar double loop, the same lines as the x86-64 routine in the same
 * order. x0..x3 live in d16..d19, the constants m, e, 2.0 and 1.0 in
 * d20..d23; d24..d27 are scratch. As on x86-64 the sign masks are read from
 * memory in every step (x9 holds their address), and every multiply and add
 * is a separate instruction: never fmadd.
 * fmin/fmax stand for minsd/maxsd: they differ only for NaN and for zeros of
 * opposite sign, and every value here stays positive and finite.
 * Returns the bits of (x0 + x1) + (x2 + x3). */
#include "asm_macros.h"

    RODATA_SECTION
    .p2align 4
LOCAL_LABEL(fp_abs_mask):
    .quad   0x7FFFFFFFFFFFFFFF
LOCAL_LABEL(fp_sign_mask):
    .quad   0x8000000000000000
LOCAL_LABEL(fp_consts):
    .double 1.5, 2.5, 3.5, 0.5          /* initial x0..x3 */
    .double 1.0625, 0.0009765625        /* m, e */
    .double 2.0, 1.0                    /* cap, one */

DEFINE_FUNCTION(qm_fp_math)
    cbz     x0, LOCAL_LABEL(fp_done)

    LOAD_ADDRESS(x9, LOCAL_LABEL(fp_abs_mask))
    ldp     d16, d17, [x9, #16]
    ldp     d18, d19, [x9, #32]
    ldp     d20, d21, [x9, #48]
    ldp     d22, d23, [x9, #64]

    .p2align 4
LOCAL_LABEL(fp_step):
    fmul    d16, d16, d20               /* 1: xi = xi * m + e */
    fadd    d16, d16, d21
    fmul    d17, d17, d20
    fadd    d17, d17, d21
    fmul    d18, d18, d20
    fadd    d18, d18, d21
    fmul    d19, d19, d20
    fadd    d19, d19, d21

    fmin    d16, d16, d22               /* 2: xi = xi < 2.0 ? xi : 2.0 */
    fmin    d17, d17, d22
    fmin    d18, d18, d22
    fmin    d19, d19, d22

    fsqrt   d24, d16                    /* 3: s0 = sqrt(x0), s1 = sqrt(x1) */
    fsqrt   d25, d17
    fadd    d18, d18, d24               /* 4: x2 += s0, x3 += s1 */
    fadd    d19, d19, d25

    fadd    d26, d18, d23               /* 5: x0 += 1.0 / (x2 + 1.0) */
    fdiv    d26, d23, d26
    fadd    d16, d16, d26
    fadd    d27, d19, d23               /* 6: x1 += 1.0 / (x3 + 1.0) */
    fdiv    d27, d23, d27
    fadd    d17, d17, d27

    ldr     d24, [x9]                   /* 7: x2 = |x2| */
    and     v18.8b, v18.8b, v24.8b
    ldr     d25, [x9, #8]               /* 8: x3 = |-x3| */
    eor     v19.8b, v19.8b, v25.8b
    ldr     d24, [x9]
    and     v19.8b, v19.8b, v24.8b
    fmax    d19, d19, d23               /* 9: x3 = x3 > 1.0 ? x3 : 1.0 */

    subs    x0, x0, #1
    b.ne    LOCAL_LABEL(fp_step)

    fadd    d16, d16, d17
    fadd    d18, d18, d19
    fadd    d16, d16, d18
    fmov    x0, d16
LOCAL_LABEL(fp_done):
    ret
END_FUNCTION(qm_fp_math)

OBJECT_NOTES

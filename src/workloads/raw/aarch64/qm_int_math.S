/* uint64_t qm_int_math(uint64_t steps)
 *
 * The wide-integer mix, the same lines as the x86-64 routine in the same
 * order. State lives in registers for the whole loop:
 *   x9..x12 = w0..w3, x13 = K, x0 = steps left; x14..x16 are scratch.
 * Multiplies and adds stay separate instructions (mul, add), as the x86-64
 * imul/add pairs are; A64's shifted-operand forms fold each shift or
 * rotate into its xor, and umulh/smulh give the high product halves that
 * mul/imul leave in rdx. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_int_math)
    cbz     x0, LOCAL_LABEL(int_done)

    mov     x9, #0x7C15                 /* w0 = 0x9E3779B97F4A7C15 */
    movk    x9, #0x7F4A, lsl #16
    movk    x9, #0x79B9, lsl #32
    movk    x9, #0x9E37, lsl #48
    mov     x10, #0xE5B9                /* w1 = 0xBF58476D1CE4E5B9 */
    movk    x10, #0x1CE4, lsl #16
    movk    x10, #0x476D, lsl #32
    movk    x10, #0xBF58, lsl #48
    mov     x11, #0x11EB                /* w2 = 0x94D049BB133111EB */
    movk    x11, #0x1331, lsl #16
    movk    x11, #0x49BB, lsl #32
    movk    x11, #0x94D0, lsl #48
    mov     x12, #0xDD1D                /* w3 = 0x2545F4914F6CDD1D */
    movk    x12, #0x4F6C, lsl #16
    movk    x12, #0xF491, lsl #32
    movk    x12, #0x2545, lsl #48
    mov     x13, #0xBEEF                /* K = 0xDEADBEEF, zero-extended */
    movk    x13, #0xDEAD, lsl #16

    .p2align 4
LOCAL_LABEL(int_step):
    mul     x9, x9, x13                 /* 1: w0 = w0 * K + w1 */
    add     x9, x9, x10
    mul     x10, x10, x13               /* 2: w1 = w1 * K + w2 */
    add     x10, x10, x11
    mul     x11, x11, x13               /* 3: w2 = w2 * K + w3 */
    add     x11, x11, x12
    mul     x12, x12, x13               /* 4: w3 = w3 * K + w0 */
    add     x12, x12, x9

    eor     x9, x9, x11, lsr #29        /* 5: w0 ^= w2 >> 29 */
    eor     x10, x10, x12, lsl #17      /* 6: w1 ^= w3 << 17 */
    eor     x11, x11, x9, ror #31       /* 7: w2 ^= rotr(w0, 31) */
    bic     x12, x12, x10, asr #7       /* 8: w3 &= ~(w1 >>arith 7) */

    umulh   x14, x9, x11                /* 9: w0 += hi(w0 * w2), unsigned */
    add     x9, x9, x14
    smulh   x14, x10, x12               /* 10: w1 += hi(w1 * w3), signed */
    add     x10, x10, x14

    rev     x14, x11                    /* 11: w0 ^= bswap(w2) */
    eor     x9, x9, x14
    rev     x14, x12                    /* 12: w1 ^= bswap(w3) */
    eor     x10, x10, x14

    orr     x15, x13, #1                /* 13: D = K | 1 */
    udiv    x14, x9, x15                /* 14: w2 -= (w0 / D) * D, unsigned */
    mul     x14, x14, x15
    sub     x11, x11, x14
    sdiv    x16, x10, x15               /* 15: w3 += w1 / D, signed, toward zero */
    add     x12, x12, x16

    ror     x10, x10, #11               /* 16: w1 = rotr(w1, 11) */
    extr    x9, x9, x10, #41            /* 17: w0 = w0 << 23 | w1 >> 41 */

    subs    x0, x0, #1
    b.ne    LOCAL_LABEL(int_step)

    eor     x0, x9, x10
    eor     x0, x0, x11
    eor     x0, x0, x12
LOCAL_LABEL(int_done):
    ret
END_FUNCTION(qm_int_math)

OBJECT_NOTES

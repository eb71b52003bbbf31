/* uint64_t qm_fp_math(uint64_t steps)
 *
 * The scalar double loop. x0..x3 live in xmm0..xmm3, the constants m, e,
 * 2.0 and 1.0 in xmm4..xmm7; the sign masks are deliberately read from
 * memory in every step. Returns the bits of (x0 + x1) + (x2 + x3). */
#include "asm_macros.h"

    RODATA_SECTION
    .p2align 4
qm_fp_math_abs_mask:
    .quad   0x7FFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF
qm_fp_math_sign_mask:
    .quad   0x8000000000000000, 0x8000000000000000
qm_fp_math_consts:
    .double 1.5, 2.5, 3.5, 0.5          /* initial x0..x3 */
    .double 1.0625, 0.0009765625        /* m, e */
    .double 2.0, 1.0                    /* cap, one */

DEFINE_FUNCTION(qm_fp_math)
    xorl    %eax, %eax
    testq   %rdi, %rdi
    jz      LOCAL_LABEL(fp_done)

    leaq    qm_fp_math_consts(%rip), %rax
    movsd   0(%rax), %xmm0
    movsd   8(%rax), %xmm1
    movsd   16(%rax), %xmm2
    movsd   24(%rax), %xmm3
    movsd   32(%rax), %xmm4
    movsd   40(%rax), %xmm5
    movsd   48(%rax), %xmm6
    movsd   56(%rax), %xmm7

    .p2align 4
LOCAL_LABEL(fp_step):
    mulsd   %xmm4, %xmm0                /* 1: xi = xi * m + e */
    addsd   %xmm5, %xmm0
    mulsd   %xmm4, %xmm1
    addsd   %xmm5, %xmm1
    mulsd   %xmm4, %xmm2
    addsd   %xmm5, %xmm2
    mulsd   %xmm4, %xmm3
    addsd   %xmm5, %xmm3

    minsd   %xmm6, %xmm0                /* 2: xi = xi < 2.0 ? xi : 2.0 */
    minsd   %xmm6, %xmm1
    minsd   %xmm6, %xmm2
    minsd   %xmm6, %xmm3

    sqrtsd  %xmm0, %xmm8                /* 3: s0 = sqrt(x0), s1 = sqrt(x1) */
    sqrtsd  %xmm1, %xmm9
    addsd   %xmm8, %xmm2                /* 4: x2 += s0, x3 += s1 */
    addsd   %xmm9, %xmm3

    movapd  %xmm2, %xmm10               /* 5: x0 += 1.0 / (x2 + 1.0) */
    addsd   %xmm7, %xmm10
    movapd  %xmm7, %xmm11
    divsd   %xmm10, %xmm11
    addsd   %xmm11, %xmm0
    movapd  %xmm3, %xmm12               /* 6: x1 += 1.0 / (x3 + 1.0) */
    addsd   %xmm7, %xmm12
    movapd  %xmm7, %xmm13
    divsd   %xmm12, %xmm13
    addsd   %xmm13, %xmm1

    andpd   qm_fp_math_abs_mask(%rip), %xmm2    /* 7: x2 = |x2| */
    xorpd   qm_fp_math_sign_mask(%rip), %xmm3   /* 8: x3 = |-x3| */
    andpd   qm_fp_math_abs_mask(%rip), %xmm3
    maxsd   %xmm7, %xmm3                /* 9: x3 = x3 > 1.0 ? x3 : 1.0 */

    decq    %rdi
    jnz     LOCAL_LABEL(fp_step)

    addsd   %xmm1, %xmm0
    addsd   %xmm3, %xmm2
    addsd   %xmm2, %xmm0
    movq    %xmm0, %rax
LOCAL_LABEL(fp_done):
    ret
END_FUNCTION(qm_fp_math)

OBJECT_NOTES

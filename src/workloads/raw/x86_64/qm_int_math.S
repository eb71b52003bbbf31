/* uint64_t qm_int_math(uint64_t steps)
 *
 * The wide-integer mix. State lives in registers for the whole loop:
 *   r8..r11 = w0..w3, rsi = K, rdi = steps left; rax, rcx, rdx are scratch
 * (mul, div and idiv need rax:rdx). Lines follow the operation table. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_int_math)
    xorl    %eax, %eax
    testq   %rdi, %rdi
    jz      LOCAL_LABEL(int_done)

    movabsq $0x9E3779B97F4A7C15, %r8
    movabsq $0xBF58476D1CE4E5B9, %r9
    movabsq $0x94D049BB133111EB, %r10
    movabsq $0x2545F4914F6CDD1D, %r11
    movl    $0xDEADBEEF, %esi           /* zero-extends: K = 3,735,928,559 */

    .p2align 4
LOCAL_LABEL(int_step):
    imulq   %rsi, %r8                   /* 1: w0 = w0 * K + w1 */
    addq    %r9, %r8
    imulq   %rsi, %r9                   /* 2: w1 = w1 * K + w2 */
    addq    %r10, %r9
    imulq   %rsi, %r10                  /* 3: w2 = w2 * K + w3 */
    addq    %r11, %r10
    imulq   %rsi, %r11                  /* 4: w3 = w3 * K + w0 */
    addq    %r8, %r11

    movq    %r10, %rax                  /* 5: w0 ^= w2 >> 29 */
    shrq    $29, %rax
    xorq    %rax, %r8
    movq    %r11, %rax                  /* 6: w1 ^= w3 << 17 */
    shlq    $17, %rax
    xorq    %rax, %r9
    movq    %r8, %rax                   /* 7: w2 ^= rotr(w0, 31) */
    rorq    $31, %rax
    xorq    %rax, %r10
    movq    %r9, %rax                   /* 8: w3 &= ~(w1 >>arith 7) */
    sarq    $7, %rax
    notq    %rax
    andq    %rax, %r11

    movq    %r8, %rax                   /* 9: w0 += hi(w0 * w2), unsigned */
    mulq    %r10
    addq    %rdx, %r8
    movq    %r9, %rax                   /* 10: w1 += hi(w1 * w3), signed */
    imulq   %r11
    addq    %rdx, %r9

    movq    %r10, %rax                  /* 11: w0 ^= bswap(w2) */
    bswapq  %rax
    xorq    %rax, %r8
    movq    %r11, %rax                  /* 12: w1 ^= bswap(w3) */
    bswapq  %rax
    xorq    %rax, %r9

    movq    %rsi, %rcx                  /* 13: D = K | 1 */
    orq     $1, %rcx
    movq    %r8, %rax                   /* 14: w2 -= (w0 / D) * D, unsigned */
    xorl    %edx, %edx
    divq    %rcx
    imulq   %rcx, %rax
    subq    %rax, %r10
    movq    %r9, %rax                   /* 15: w3 += w1 / D, signed */
    cqto
    idivq   %rcx
    addq    %rax, %r11

    rorq    $11, %r9                    /* 16: w1 = rotr(w1, 11) */
    shldq   $23, %r9, %r8               /* 17: w0 = w0 << 23 | w1 >> 41 */

    decq    %rdi
    jnz     LOCAL_LABEL(int_step)

    movq    %r8, %rax
    xorq    %r9, %rax
    xorq    %r10, %rax
    xorq    %r11, %rax
LOCAL_LABEL(int_done):
    ret
END_FUNCTION(qm_int_math)

OBJECT_NOTES

/* uint64_t qm_physics(Body* bodies, uint64_t n, uint64_t steps)
 *
 * Softened direct-sum gravity on n 64-byte bodies (x, y, z, m, vx, vy, vz,
 * reserved), `steps` time steps in place, scalar doubles only. Every
 * operation is rounded on its own, in the order of the portable twin; the
 * square root and the division are the exact sqrtsd and divsd.
 *
 * Returns the bits of S, summed body by body as S + vx, + vy, + vz; 0 when
 * n or steps is 0.
 *
 * rdi  bodies           xmm0..2   xi, yi, zi
 * rsi  n, then end      xmm3..5   ax, ay, az
 * rdx  steps left       xmm6..12  per-pair temporaries
 * r8   body i           xmm13     eps2
 * r9   body j           xmm14     1.0
 *                       xmm15     dt
 * Leaf routine: touches only caller-saved registers, no stack. */
#include "asm_macros.h"

    RODATA_SECTION
    .p2align 3
qm_physics_consts:
    .double 0.0625                      /* eps2 */
    .double 1.0                         /* numerator of the inverse distance */
    .double 0.0078125                   /* dt = 2^-7 */

DEFINE_FUNCTION(qm_physics)
    xorl    %eax, %eax
    testq   %rsi, %rsi
    jz      LOCAL_LABEL(ph_done)
    testq   %rdx, %rdx
    jz      LOCAL_LABEL(ph_done)

    leaq    qm_physics_consts(%rip), %rax
    movsd   0(%rax), %xmm13
    movsd   8(%rax), %xmm14
    movsd   16(%rax), %xmm15
    shlq    $6, %rsi                    /* end = bodies + 64 n */
    addq    %rdi, %rsi

LOCAL_LABEL(ph_step):
    /* Velocity phase: reads positions and masses only, so body i's velocity
     * is stored as soon as its sum over all j is complete. */
    movq    %rdi, %r8
LOCAL_LABEL(ph_body_i):
    movsd   0(%r8), %xmm0
    movsd   8(%r8), %xmm1
    movsd   16(%r8), %xmm2
    xorpd   %xmm3, %xmm3
    xorpd   %xmm4, %xmm4
    xorpd   %xmm5, %xmm5
    movq    %rdi, %r9

    .p2align 4
LOCAL_LABEL(ph_body_j):
    movsd   0(%r9), %xmm6               /* dx = xj - xi */
    subsd   %xmm0, %xmm6
    movsd   8(%r9), %xmm7               /* dy = yj - yi */
    subsd   %xmm1, %xmm7
    movsd   16(%r9), %xmm8              /* dz = zj - zi */
    subsd   %xmm2, %xmm8

    movapd  %xmm6, %xmm9                /* r2 = ((dx dx + dy dy) + dz dz) + eps2 */
    mulsd   %xmm6, %xmm9
    movapd  %xmm7, %xmm10
    mulsd   %xmm7, %xmm10
    addsd   %xmm10, %xmm9
    movapd  %xmm8, %xmm11
    mulsd   %xmm8, %xmm11
    addsd   %xmm11, %xmm9
    addsd   %xmm13, %xmm9

    sqrtsd  %xmm9, %xmm9                /* inv = 1.0 / sqrt(r2) */
    movapd  %xmm14, %xmm12
    divsd   %xmm9, %xmm12

    movapd  %xmm12, %xmm10              /* s = ((inv inv) inv) mj */
    mulsd   %xmm12, %xmm10
    mulsd   %xmm12, %xmm10
    mulsd   24(%r9), %xmm10

    mulsd   %xmm10, %xmm6               /* ax += dx s, ay += dy s, az += dz s */
    addsd   %xmm6, %xmm3
    mulsd   %xmm10, %xmm7
    addsd   %xmm7, %xmm4
    mulsd   %xmm10, %xmm8
    addsd   %xmm8, %xmm5

    addq    $64, %r9
    cmpq    %rsi, %r9
    jb      LOCAL_LABEL(ph_body_j)

    mulsd   %xmm15, %xmm3               /* v += a dt, product rounded first */
    movsd   32(%r8), %xmm6
    addsd   %xmm3, %xmm6
    movsd   %xmm6, 32(%r8)
    mulsd   %xmm15, %xmm4
    movsd   40(%r8), %xmm7
    addsd   %xmm4, %xmm7
    movsd   %xmm7, 40(%r8)
    mulsd   %xmm15, %xmm5
    movsd   48(%r8), %xmm8
    addsd   %xmm5, %xmm8
    movsd   %xmm8, 48(%r8)

    addq    $64, %r8
    cmpq    %rsi, %r8
    jb      LOCAL_LABEL(ph_body_i)

    /* Integration phase: x += vx dt with the velocities just stored. */
    movq    %rdi, %r8
LOCAL_LABEL(ph_move):
    movsd   32(%r8), %xmm3
    mulsd   %xmm15, %xmm3
    movsd   0(%r8), %xmm0
    addsd   %xmm3, %xmm0
    movsd   %xmm0, 0(%r8)
    movsd   40(%r8), %xmm4
    mulsd   %xmm15, %xmm4
    movsd   8(%r8), %xmm1
    addsd   %xmm4, %xmm1
    movsd   %xmm1, 8(%r8)
    movsd   48(%r8), %xmm5
    mulsd   %xmm15, %xmm5
    movsd   16(%r8), %xmm2
    addsd   %xmm5, %xmm2
    movsd   %xmm2, 16(%r8)
    addq    $64, %r8
    cmpq    %rsi, %r8
    jb      LOCAL_LABEL(ph_move)

    decq    %rdx
    jnz     LOCAL_LABEL(ph_step)

    /* Checksum: S = ((S + vx) + vy) + vz, body by body. */
    xorpd   %xmm0, %xmm0
    movq    %rdi, %r8
LOCAL_LABEL(ph_sum):
    addsd   32(%r8), %xmm0
    addsd   40(%r8), %xmm0
    addsd   48(%r8), %xmm0
    addq    $64, %r8
    cmpq    %rsi, %r8
    jb      LOCAL_LABEL(ph_sum)
    movq    %xmm0, %rax
LOCAL_LABEL(ph_done):
    ret
END_FUNCTION(qm_physics)

OBJECT_NOTES

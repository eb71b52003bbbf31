/* uint64_t qm_physics(Body* bodies, uint64_t n, uint64_t steps)
 *
 * Softened direct-sum gravity on n 64-byte bodies (x, y, z, m, vx, vy, vz,
 * reserved), `steps` time steps in place, scalar doubles only. Every
 * operation is rounded on its own, in the order of the portable twin; the
 * square root and the division are the exact sqrtsd and divsd.
 *
 * Returns the bits of S, summed body by body as S + vx, + vy, + vz; 0 when
 * n or steps is 0.
 * Leaf routine: touches only caller-saved registers, no stack. */
#include "asm_macros.h"
#include "body_layout.h"

#define BODIES  %rdi                    /* body 0 */
#define END     %rsi                    /* n, then one past the last body */
#define STEPS   %rdx                    /* steps left */
#define BODY_I  %r8                     /* the body being updated */
#define BODY_J  %r9                     /* the body pulling on it */

#define XI      %xmm0                   /* body i's position */
#define YI      %xmm1
#define ZI      %xmm2
#define AX      %xmm3                   /* its acceleration, summed over j */
#define AY      %xmm4
#define AZ      %xmm5
#define DX      %xmm6                   /* per pair: the distance vector, */
#define DY      %xmm7                   /* then the pull along it */
#define DZ      %xmm8
#define R2      %xmm9                   /* squared distance, then its root */
#define SQ_Y    %xmm10                  /* dy dy, then ... */
#define STRENGTH %xmm10                 /* ... the pull per unit distance */
#define SQ_Z    %xmm11                  /* dz dz */
#define INV     %xmm12                  /* 1 / distance */
#define EPS2    %xmm13                  /* softening */
#define ONE     %xmm14
#define DT      %xmm15                  /* time step */

/* d = body j's coordinate - body i's (one at a time, as the twin does). */
.macro DELTA d, field, own
    movsd   \field(BODY_J), \d
    subsd   \own, \d
.endm

/* acc += d s: the pull of body j along one axis. */
.macro PULL acc, d
    mulsd   STRENGTH, \d
    addsd   \d, \acc
.endm

/* v += a dt on body i, the product rounded first. */
.macro KICK acc, field, tmp
    mulsd   DT, \acc
    movsd   \field(BODY_I), \tmp
    addsd   \acc, \tmp
    movsd   \tmp, \field(BODY_I)
.endm

/* x += v dt on body i, with the velocity just stored. */
.macro DRIFT pos, vel, vtmp, ptmp
    movsd   \vel(BODY_I), \vtmp
    mulsd   DT, \vtmp
    movsd   \pos(BODY_I), \ptmp
    addsd   \vtmp, \ptmp
    movsd   \ptmp, \pos(BODY_I)
.endm

    RODATA_SECTION
    .p2align 3
qm_physics_consts:
    .double 0.0625                      /* eps2 */
    .double 1.0                         /* numerator of the inverse distance */
    .double 0.0078125                   /* dt = 2^-7 */

DEFINE_FUNCTION(qm_physics)
    xorl    %eax, %eax
    testq   END, END
    jz      LOCAL_LABEL(ph_done)
    testq   STEPS, STEPS
    jz      LOCAL_LABEL(ph_done)

    leaq    qm_physics_consts(%rip), %rax
    movsd   0(%rax), EPS2
    movsd   8(%rax), ONE
    movsd   16(%rax), DT
    shlq    $QM_BODY_SIZE_LOG2, END     /* end = bodies + 64 n */
    addq    BODIES, END

LOCAL_LABEL(ph_step):
    /* Velocity phase: reads positions and masses only, so body i's velocity
     * is stored as soon as its sum over all j is complete. */
    movq    BODIES, BODY_I
LOCAL_LABEL(ph_body_i):
    movsd   QM_BODY_X(BODY_I), XI
    movsd   QM_BODY_Y(BODY_I), YI
    movsd   QM_BODY_Z(BODY_I), ZI
    xorpd   AX, AX
    xorpd   AY, AY
    xorpd   AZ, AZ
    movq    BODIES, BODY_J

    .p2align 4
LOCAL_LABEL(ph_body_j):
    DELTA   DX, QM_BODY_X, XI
    DELTA   DY, QM_BODY_Y, YI
    DELTA   DZ, QM_BODY_Z, ZI

    movapd  DX, R2                      /* r2 = ((dx dx + dy dy) + dz dz) + eps2 */
    mulsd   DX, R2
    movapd  DY, SQ_Y
    mulsd   DY, SQ_Y
    addsd   SQ_Y, R2
    movapd  DZ, SQ_Z
    mulsd   DZ, SQ_Z
    addsd   SQ_Z, R2
    addsd   EPS2, R2

    sqrtsd  R2, R2                      /* inv = 1.0 / sqrt(r2) */
    movapd  ONE, INV
    divsd   R2, INV

    movapd  INV, STRENGTH               /* s = ((inv inv) inv) mj */
    mulsd   INV, STRENGTH
    mulsd   INV, STRENGTH
    mulsd   QM_BODY_M(BODY_J), STRENGTH

    PULL    AX, DX                      /* a += d s, axis by axis */
    PULL    AY, DY
    PULL    AZ, DZ

    addq    $QM_BODY_SIZE, BODY_J
    cmpq    END, BODY_J
    jb      LOCAL_LABEL(ph_body_j)

    KICK    AX, QM_BODY_VX, %xmm6
    KICK    AY, QM_BODY_VY, %xmm7
    KICK    AZ, QM_BODY_VZ, %xmm8

    addq    $QM_BODY_SIZE, BODY_I
    cmpq    END, BODY_I
    jb      LOCAL_LABEL(ph_body_i)

    /* Integration phase: every position moves with its new velocity. */
    movq    BODIES, BODY_I
LOCAL_LABEL(ph_move):
    DRIFT   QM_BODY_X, QM_BODY_VX, %xmm3, %xmm0
    DRIFT   QM_BODY_Y, QM_BODY_VY, %xmm4, %xmm1
    DRIFT   QM_BODY_Z, QM_BODY_VZ, %xmm5, %xmm2
    addq    $QM_BODY_SIZE, BODY_I
    cmpq    END, BODY_I
    jb      LOCAL_LABEL(ph_move)

    decq    STEPS
    jnz     LOCAL_LABEL(ph_step)

    /* Checksum: S = ((S + vx) + vy) + vz, body by body. */
    xorpd   %xmm0, %xmm0
    movq    BODIES, BODY_I
LOCAL_LABEL(ph_sum):
    addsd   QM_BODY_VX(BODY_I), %xmm0
    addsd   QM_BODY_VY(BODY_I), %xmm0
    addsd   QM_BODY_VZ(BODY_I), %xmm0
    addq    $QM_BODY_SIZE, BODY_I
    cmpq    END, BODY_I
    jb      LOCAL_LABEL(ph_sum)
    movq    %xmm0, %rax
LOCAL_LABEL(ph_done):
    ret
END_FUNCTION(qm_physics)

OBJECT_NOTES

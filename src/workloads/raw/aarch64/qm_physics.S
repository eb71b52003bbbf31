/* uint64_t qm_physics(Body* bodies, uint64_t n, uint64_t steps)
 *
 * Softened direct-sum gravity on n 64-byte bodies (x, y, z, m, vx, vy, vz,
 * reserved), `steps` time steps in place, scalar doubles only. Every
 * operation is rounded on its own, in the order of the portable twin and of
 * the x86-64 routine (no fused multiply-add); the square root and the
 * division are the exact fsqrt and fdiv.
 *
 * Returns the bits of S, summed body by body as S + vx, + vy, + vz; 0 when
 * n or steps is 0.
 * Leaf routine: no stack, and of the vector registers only v0-v7 and
 * v16-v31 (the low halves of v8-v15 are callee-saved). */
#include "asm_macros.h"
#include "body_layout.h"

#define BODIES  x0                      /* body 0 */
#define END     x1                      /* n, then one past the last body */
#define STEPS   x2                      /* steps left */
#define BODY_I  x3                      /* the body being updated */
#define BODY_J  x4                      /* the body pulling on it */

#define XI      d0                      /* body i's position */
#define YI      d1
#define ZI      d2
#define AX      d3                      /* its acceleration, summed over j */
#define AY      d4
#define AZ      d5
#define DX      d6                      /* per pair: the distance vector, */
#define DY      d7                      /* then the pull along it */
#define DZ      d16
#define R2      d17                     /* squared distance, then its root */
#define SQ_Y    d18                     /* dy dy, then ... */
#define STRENGTH d18                    /* ... the pull per unit distance */
#define SQ_Z    d19                     /* dz dz */
#define INV     d20                     /* 1 / distance */
#define EPS2    d21                     /* softening */
#define ONE     d22
#define DT      d23                     /* time step */
#define XJ      d24                     /* body j's position and mass */
#define YJ      d25
#define ZJ      d26
#define MJ      d27
#define TMP     d28
#define SUM     d0

/* acc += d s: the pull of body j along one axis. */
.macro PULL acc, d
    fmul    \d, \d, STRENGTH
    fadd    \acc, \acc, \d
.endm

/* v += a dt on body i, the product rounded first. */
.macro KICK acc, field
    fmul    \acc, \acc, DT
    ldr     TMP, [BODY_I, #\field]
    fadd    TMP, TMP, \acc
    str     TMP, [BODY_I, #\field]
.endm

/* x += v dt on body i, with the velocity just stored. */
.macro DRIFT pos, vel
    ldr     TMP, [BODY_I, #\vel]
    fmul    TMP, TMP, DT
    ldr     XJ, [BODY_I, #\pos]
    fadd    XJ, XJ, TMP
    str     XJ, [BODY_I, #\pos]
.endm

    RODATA_SECTION
    .p2align 3
qm_physics_consts:
    .double 0.0625                      /* eps2 */
    .double 1.0                         /* numerator of the inverse distance */
    .double 0.0078125                   /* dt = 2^-7 */

DEFINE_FUNCTION(qm_physics)
    cbz     END, LOCAL_LABEL(ph_none)
    cbz     STEPS, LOCAL_LABEL(ph_none)

    LOAD_ADDRESS(x9, qm_physics_consts)
    ldp     EPS2, ONE, [x9]
    ldr     DT, [x9, #16]
    add     END, BODIES, END, lsl #QM_BODY_SIZE_LOG2 /* end = bodies + 64 n */

LOCAL_LABEL(ph_step):
    /* Velocity phase: reads positions and masses only, so body i's velocity
     * is stored as soon as its sum over all j is complete. */
    mov     BODY_I, BODIES
LOCAL_LABEL(ph_body_i):
    ldp     XI, YI, [BODY_I, #QM_BODY_X]
    ldr     ZI, [BODY_I, #QM_BODY_Z]
    movi    AX, #0
    movi    AY, #0
    movi    AZ, #0
    mov     BODY_J, BODIES

    .p2align 4
LOCAL_LABEL(ph_body_j):
    ldp     XJ, YJ, [BODY_J, #QM_BODY_X]
    ldp     ZJ, MJ, [BODY_J, #QM_BODY_Z]
    fsub    DX, XJ, XI                  /* d = body j's coordinate - body i's */
    fsub    DY, YJ, YI
    fsub    DZ, ZJ, ZI

    fmul    R2, DX, DX                  /* r2 = ((dx dx + dy dy) + dz dz) + eps2 */
    fmul    SQ_Y, DY, DY
    fadd    R2, R2, SQ_Y
    fmul    SQ_Z, DZ, DZ
    fadd    R2, R2, SQ_Z
    fadd    R2, R2, EPS2

    fsqrt   R2, R2                      /* inv = 1.0 / sqrt(r2) */
    fdiv    INV, ONE, R2

    fmul    STRENGTH, INV, INV          /* s = ((inv inv) inv) mj */
    fmul    STRENGTH, STRENGTH, INV
    fmul    STRENGTH, STRENGTH, MJ

    PULL    AX, DX                      /* a += d s, axis by axis */
    PULL    AY, DY
    PULL    AZ, DZ

    add     BODY_J, BODY_J, #QM_BODY_SIZE
    cmp     BODY_J, END
    b.lo    LOCAL_LABEL(ph_body_j)

    KICK    AX, QM_BODY_VX
    KICK    AY, QM_BODY_VY
    KICK    AZ, QM_BODY_VZ

    add     BODY_I, BODY_I, #QM_BODY_SIZE
    cmp     BODY_I, END
    b.lo    LOCAL_LABEL(ph_body_i)

    /* Integration phase: every position moves with its new velocity. */
    mov     BODY_I, BODIES
LOCAL_LABEL(ph_move):
    DRIFT   QM_BODY_X, QM_BODY_VX
    DRIFT   QM_BODY_Y, QM_BODY_VY
    DRIFT   QM_BODY_Z, QM_BODY_VZ
    add     BODY_I, BODY_I, #QM_BODY_SIZE
    cmp     BODY_I, END
    b.lo    LOCAL_LABEL(ph_move)

    subs    STEPS, STEPS, #1
    b.ne    LOCAL_LABEL(ph_step)

    /* Checksum: S = ((S + vx) + vy) + vz, body by body. */
    movi    SUM, #0
    mov     BODY_I, BODIES
LOCAL_LABEL(ph_sum):
    ldr     TMP, [BODY_I, #QM_BODY_VX]
    fadd    SUM, SUM, TMP
    ldr     TMP, [BODY_I, #QM_BODY_VY]
    fadd    SUM, SUM, TMP
    ldr     TMP, [BODY_I, #QM_BODY_VZ]
    fadd    SUM, SUM, TMP
    add     BODY_I, BODY_I, #QM_BODY_SIZE
    cmp     BODY_I, END
    b.lo    LOCAL_LABEL(ph_sum)
    fmov    x0, SUM
    ret
LOCAL_LABEL(ph_none):
    mov     x0, #0
    ret
END_FUNCTION(qm_physics)

OBJECT_NOTES

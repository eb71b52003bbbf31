/* uint64_t qm_sort(uint32_t* keys, uint64_t n)
 *
 * In-place heapsort of n unsigned 32-bit keys, ascending, through
 * st_siftdown; then the pass checksum over the sorted keys, h starting at 0:
 *   h = rotr(h XOR k, 7) + k     (k zero-extended, arithmetic mod 2^64)
 * With n < 2 nothing is sorted and no chain runs: n = 0 gives 0, n = 1 the
 * single key.
 *   x19 = keys, x20 = n, x21 = the build position i, then the heap end;
 * they live in callee-saved registers across the calls. x22 is saved only
 * to keep the pair (and the stack) 16-byte aligned. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_sort)
    cmp     x1, #2
    b.hs    LOCAL_LABEL(qs_sort)
    mov     x2, x0
    mov     x0, #0                      /* n = 0: 0 */
    cbz     x1, LOCAL_LABEL(qs_short)
    ldr     w0, [x2]                    /* n = 1: the key, zero-extended */
LOCAL_LABEL(qs_short):
    ret

LOCAL_LABEL(qs_sort):
    SIGN_LR
    PUSH_PAIR(x29, x30)
    mov     x29, sp                     /* a frame record for frame walkers */
    PUSH_PAIR(x19, x20)
    PUSH_PAIR(x21, x22)
    mov     x19, x0
    mov     x20, x1
    lsr     x21, x1, #1                 /* i = n / 2, at least 1 */

LOCAL_LABEL(qs_build):                  /* for i = n/2 - 1 down to 0 */
    sub     x21, x21, #1
    mov     x0, x19
    mov     x1, x20
    mov     x2, x21
    bl      SYMBOL_NAME(st_siftdown)    /* sift down from i, size n */
    cbnz    x21, LOCAL_LABEL(qs_build)

    sub     x21, x20, #1                /* end = n - 1, at least 1 */
LOCAL_LABEL(qs_extract):                /* for end = n-1 down to 1 */
    ldr     w9, [x19]                   /* exchange keys 0 and end */
    ldr     w10, [x19, x21, lsl #2]
    str     w10, [x19]
    str     w9, [x19, x21, lsl #2]
    mov     x0, x19
    mov     x1, x21
    mov     x2, #0
    bl      SYMBOL_NAME(st_siftdown)    /* sift down from 0, size end */
    subs    x21, x21, #1
    b.ne    LOCAL_LABEL(qs_extract)

    mov     x0, #0                      /* h = 0 */
    mov     x9, #0                      /* position */
    .p2align 4
LOCAL_LABEL(qs_chain):
    ldr     w10, [x19, x9, lsl #2]      /* k, zero-extended */
    eor     x0, x0, x10
    ror     x0, x0, #7
    add     x0, x0, x10
    add     x9, x9, #1
    cmp     x9, x20
    b.lo    LOCAL_LABEL(qs_chain)

    POP_PAIR(x21, x22)
    POP_PAIR(x19, x20)
    POP_PAIR(x29, x30)
    AUTH_LR
    ret
END_FUNCTION(qm_sort)

OBJECT_NOTES

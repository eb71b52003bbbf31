/* void st_siftdown(uint32_t* keys, uint64_t size, uint64_t start)
 *
 * Sift-down of one key in the max-heap keys[0 .. size-1] (children of i at
 * 2i+1 and 2i+2, unsigned keys). The right child is taken only when it is
 * strictly greater, the descent stops when the key is not smaller than the
 * larger child, and every level exchanges the two keys with two stores.
 *   x0 = keys, x1 = size, x2 = node, x3 = child, x4 = right child,
 *   w5 = the key being sifted (kept in a register: it is the same key at
 *   every level), w6 = key at child, w7 = key at the right child.
 * A leaf routine: it touches no callee-saved register and no stack. */
#include "asm_macros.h"

DEFINE_FUNCTION(st_siftdown)
    lsl     x3, x2, #1
    add     x3, x3, #1                  /* child = 2 * node + 1 */
    cmp     x3, x1
    b.hs    LOCAL_LABEL(sd_done)        /* no child: nothing to do */
    ldr     w5, [x0, x2, lsl #2]        /* the key being sifted */

    .p2align 4
LOCAL_LABEL(sd_level):
    ldr     w6, [x0, x3, lsl #2]        /* key at the left child */
    add     x4, x3, #1
    cmp     x4, x1
    b.hs    LOCAL_LABEL(sd_pick)        /* no right child */
    ldr     w7, [x0, x4, lsl #2]
    cmp     w7, w6                      /* right > left, unsigned: take right; */
    csel    x3, x4, x3, hi              /* on equal children the left stays */
    csel    w6, w7, w6, hi
LOCAL_LABEL(sd_pick):
    cmp     w5, w6
    b.hs    LOCAL_LABEL(sd_done)        /* key >= child: equal keys stop too */
    str     w6, [x0, x2, lsl #2]        /* exchange node and child */
    str     w5, [x0, x3, lsl #2]
    mov     x2, x3                      /* node = child */
    lsl     x3, x3, #1
    add     x3, x3, #1                  /* child = 2 * node + 1 */
    cmp     x3, x1
    b.lo    LOCAL_LABEL(sd_level)
LOCAL_LABEL(sd_done):
    ret
END_FUNCTION(st_siftdown)

OBJECT_NOTES

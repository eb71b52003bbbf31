/* void st_siftdown(uint32_t* keys, uint64_t size, uint64_t start)
 *
 * Sift-down of one key in the max-heap keys[0 .. size-1] (children of i at
 * 2i+1 and 2i+2, unsigned keys). The right child is taken only when it is
 * strictly greater, the descent stops when the key is not smaller than the
 * larger child, and every level exchanges the two keys with two stores.
 *   rdi = keys, rsi = size, rdx = node, rcx = child, r8 = right child,
 *   r9d = the key being sifted (kept in a register: it is the same key at
 *   every level), eax = key at child, r10d = key at the right child.
 * A leaf routine: it touches no callee-saved register and no stack. */
#include "asm_macros.h"

DEFINE_FUNCTION(st_siftdown)
    leaq    1(%rdx,%rdx), %rcx          /* child = 2 * node + 1 */
    cmpq    %rsi, %rcx
    jae     LOCAL_LABEL(sd_done)        /* no child: nothing to do */
    movl    (%rdi,%rdx,4), %r9d         /* the key being sifted */

    .p2align 4
LOCAL_LABEL(sd_level):
    movl    (%rdi,%rcx,4), %eax         /* key at the left child */
    leaq    1(%rcx), %r8
    cmpq    %rsi, %r8
    jae     LOCAL_LABEL(sd_pick)        /* no right child */
    movl    (%rdi,%r8,4), %r10d
    cmpl    %eax, %r10d                 /* right > left, unsigned: take right; */
    cmova   %r8, %rcx                   /* on equal children the left stays */
    cmova   %r10d, %eax
LOCAL_LABEL(sd_pick):
    cmpl    %eax, %r9d
    jae     LOCAL_LABEL(sd_done)        /* key >= child: equal keys stop too */
    movl    %eax, (%rdi,%rdx,4)         /* exchange node and child */
    movl    %r9d, (%rdi,%rcx,4)
    movq    %rcx, %rdx                  /* node = child */
    leaq    1(%rcx,%rcx), %rcx          /* child = 2 * node + 1 */
    cmpq    %rsi, %rcx
    jb      LOCAL_LABEL(sd_level)
LOCAL_LABEL(sd_done):
    ret
END_FUNCTION(st_siftdown)

OBJECT_NOTES

/* uint64_t qm_primes(uint64_t limit, uint8_t *flags)
 *
 * One sieve pass over flags[0 .. limit-1]; returns the number of primes
 * below limit, 0 (buffer untouched) when limit < 2. The same steps as the
 * x86-64 routine:
 *   x2 = limit, x1 = flags, x0 = result, x3 = i or a clear pointer's end,
 *   x4 = position (i*i, i*i + i, ...), x5 = clear pointer, w6 = flag value
 *   1, w7 = a flag read back. The buffer need not be aligned. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_primes)
    mov     x2, x0
    mov     x0, #0
    cmp     x2, #2
    b.lo    LOCAL_LABEL(primes_done)

    /* Clear: two 16-byte stores per 32 bytes up to the largest multiple of
     * 32 not above limit, then the rest one byte at a time. */
    movi    v16.16b, #0
    and     x3, x2, #-32
    add     x3, x1, x3
    mov     x5, x1
    b       LOCAL_LABEL(primes_clear32_test)
    .p2align 4
LOCAL_LABEL(primes_clear32):
    str     q16, [x5]
    str     q16, [x5, #16]
    add     x5, x5, #32
LOCAL_LABEL(primes_clear32_test):
    cmp     x5, x3
    b.lo    LOCAL_LABEL(primes_clear32)
    add     x3, x1, x2
    b       LOCAL_LABEL(primes_clear1_test)
LOCAL_LABEL(primes_clear1):
    strb    wzr, [x5], #1
LOCAL_LABEL(primes_clear1_test):
    cmp     x5, x3
    b.lo    LOCAL_LABEL(primes_clear1)

    mov     w6, #1                      /* 0 and 1 are not prime */
    strb    w6, [x1]
    strb    w6, [x1, #1]

    /* Mark: for every unmarked i with i*i < limit, flag i*i, i*i+i, ... */
    mov     x3, #2
LOCAL_LABEL(primes_outer):
    mul     x4, x3, x3
    cmp     x4, x2
    b.hs    LOCAL_LABEL(primes_count)
    ldrb    w7, [x1, x3]
    cbnz    w7, LOCAL_LABEL(primes_next)
    .p2align 4
LOCAL_LABEL(primes_mark):
    strb    w6, [x1, x4]
    add     x4, x4, x3
    cmp     x4, x2
    b.lo    LOCAL_LABEL(primes_mark)
LOCAL_LABEL(primes_next):
    add     x3, x3, #1
    b       LOCAL_LABEL(primes_outer)

    /* Count the zero flags among 2 .. limit-1: a byte below 1 (unsigned)
     * is a zero flag, and adds one. */
LOCAL_LABEL(primes_count):
    mov     x0, #0
    mov     x3, #2
    cmp     x3, x2
    b.hs    LOCAL_LABEL(primes_done)
    .p2align 4
LOCAL_LABEL(primes_count_loop):
    ldrb    w7, [x1, x3]
    cmp     w7, #1
    cinc    x0, x0, lo
    add     x3, x3, #1
    cmp     x3, x2
    b.lo    LOCAL_LABEL(primes_count_loop)
LOCAL_LABEL(primes_done):
    ret
END_FUNCTION(qm_primes)

OBJECT_NOTES

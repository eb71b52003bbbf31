/* uint64_t qm_primes(uint64_t limit, uint8_t *flags)
 *
 * One sieve pass over flags[0 .. limit-1]; returns the number of primes
 * below limit, 0 (buffer untouched) when limit < 2.
 *   rdi = limit, rsi = flags, rax = result / i*i, rcx = i or end of the
 *   32-byte clear, rdx = position. The buffer need not be aligned. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_primes)
    xorl    %eax, %eax
    cmpq    $2, %rdi
    jb      LOCAL_LABEL(primes_done)

    /* Clear: two 16-byte stores per 32 bytes up to the largest multiple of
     * 32 not above limit, then the rest one byte at a time. */
    pxor    %xmm0, %xmm0
    movq    %rdi, %rcx
    andq    $-32, %rcx
    xorl    %edx, %edx
    jmp     LOCAL_LABEL(primes_clear32_test)
    .p2align 4
LOCAL_LABEL(primes_clear32):
    movdqu  %xmm0, (%rsi,%rdx)
    movdqu  %xmm0, 16(%rsi,%rdx)
    addq    $32, %rdx
LOCAL_LABEL(primes_clear32_test):
    cmpq    %rcx, %rdx
    jb      LOCAL_LABEL(primes_clear32)
    jmp     LOCAL_LABEL(primes_clear1_test)
LOCAL_LABEL(primes_clear1):
    movb    $0, (%rsi,%rdx)
    incq    %rdx
LOCAL_LABEL(primes_clear1_test):
    cmpq    %rdi, %rdx
    jb      LOCAL_LABEL(primes_clear1)

    movb    $1, (%rsi)                  /* 0 and 1 are not prime */
    movb    $1, 1(%rsi)

    /* Mark: for every unmarked i with i*i < limit, flag i*i, i*i+i, ... */
    movl    $2, %ecx
LOCAL_LABEL(primes_outer):
    movq    %rcx, %rax
    imulq   %rcx, %rax
    cmpq    %rdi, %rax
    jae     LOCAL_LABEL(primes_count)
    cmpb    $0, (%rsi,%rcx)
    jne     LOCAL_LABEL(primes_next)
    .p2align 4
LOCAL_LABEL(primes_mark):
    movb    $1, (%rsi,%rax)
    addq    %rcx, %rax
    cmpq    %rdi, %rax
    jb      LOCAL_LABEL(primes_mark)
LOCAL_LABEL(primes_next):
    incq    %rcx
    jmp     LOCAL_LABEL(primes_outer)

    /* Count the zero flags among 2 .. limit-1: a byte below 1 is a zero
     * flag, and its borrow is added in. */
LOCAL_LABEL(primes_count):
    xorl    %eax, %eax
    movl    $2, %edx
    cmpq    %rdi, %rdx
    jae     LOCAL_LABEL(primes_done)
    .p2align 4
LOCAL_LABEL(primes_count_loop):
    cmpb    $1, (%rsi,%rdx)
    adcq    $0, %rax
    incq    %rdx
    cmpq    %rdi, %rdx
    jb      LOCAL_LABEL(primes_count_loop)
LOCAL_LABEL(primes_done):
    ret
END_FUNCTION(qm_primes)

OBJECT_NOTES

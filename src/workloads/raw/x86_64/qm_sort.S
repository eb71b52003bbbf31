/* uint64_t qm_sort(uint32_t* keys, uint64_t n)
 *
 * In-place heapsort of n unsigned 32-bit keys, ascending, through
 * st_siftdown; then the pass checksum over the sorted keys, h starting at 0:
 *   h = rotr(h XOR k, 7) + k     (k zero-extended, arithmetic mod 2^64)
 * With n < 2 nothing is sorted and no chain runs: n = 0 gives 0, n = 1 the
 * single key.
 *   rbx = keys, r12 = n, r13 = the build position i, then the heap end;
 * the three pushes keep the stack 16-byte aligned at the calls. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_sort)
    cmpq    $2, %rsi
    jae     LOCAL_LABEL(qs_sort)
    xorl    %eax, %eax                  /* n = 0: 0 */
    testq   %rsi, %rsi
    jz      LOCAL_LABEL(qs_short)
    movl    (%rdi), %eax                /* n = 1: the key, zero-extended */
LOCAL_LABEL(qs_short):
    ret

LOCAL_LABEL(qs_sort):
    PUSH_REG(%rbx)
    PUSH_REG(%r12)
    PUSH_REG(%r13)
    movq    %rdi, %rbx
    movq    %rsi, %r12
    movq    %rsi, %r13
    shrq    $1, %r13                    /* i = n / 2, at least 1 */

LOCAL_LABEL(qs_build):                  /* for i = n/2 - 1 down to 0 */
    decq    %r13
    movq    %rbx, %rdi
    movq    %r12, %rsi
    movq    %r13, %rdx
    call    SYMBOL_NAME(st_siftdown)    /* sift down from i, size n */
    testq   %r13, %r13
    jnz     LOCAL_LABEL(qs_build)

    leaq    -1(%r12), %r13              /* end = n - 1, at least 1 */
LOCAL_LABEL(qs_extract):                /* for end = n-1 down to 1 */
    movl    (%rbx), %eax                /* exchange keys 0 and end */
    movl    (%rbx,%r13,4), %ecx
    movl    %ecx, (%rbx)
    movl    %eax, (%rbx,%r13,4)
    movq    %rbx, %rdi
    movq    %r13, %rsi
    xorl    %edx, %edx
    call    SYMBOL_NAME(st_siftdown)    /* sift down from 0, size end */
    decq    %r13
    jnz     LOCAL_LABEL(qs_extract)

    xorl    %eax, %eax                  /* h = 0 */
    xorl    %ecx, %ecx                  /* position */
    .p2align 4
LOCAL_LABEL(qs_chain):
    movl    (%rbx,%rcx,4), %edx         /* k, zero-extended */
    xorq    %rdx, %rax
    rorq    $7, %rax
    addq    %rdx, %rax
    incq    %rcx
    cmpq    %r12, %rcx
    jb      LOCAL_LABEL(qs_chain)

    POP_REG(%r13)
    POP_REG(%r12)
    POP_REG(%rbx)
    ret
END_FUNCTION(qm_sort)

OBJECT_NOTES

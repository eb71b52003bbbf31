/* uint64_t qm_compress(const uint8_t* input, uint64_t len, uint32_t* table)
 *
 * One greedy LZ77 pass; returns its cost. Registers:
 *   rdi = input, rsi = len, rdx = table (65,536 32-bit entries)
 *   rax = cost, r8 = pos, r9 = anchor, r10 = limit (len - 12)
 *   ecx = the 4-byte word at pos, r11 = slot, then distance, then scratch
 *   rbx = candidate, then input - distance (the match source) */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_compress)
    PUSH_REG(%rbx)

    /* The table is cleared before anything else, even for a short input:
     * four 16-byte stores per 64 bytes. */
    pxor    %xmm0, %xmm0
    movq    %rdx, %rcx
    leaq    262144(%rdx), %r11
LOCAL_LABEL(cz_clear):
    movdqu  %xmm0, (%rcx)
    movdqu  %xmm0, 16(%rcx)
    movdqu  %xmm0, 32(%rcx)
    movdqu  %xmm0, 48(%rcx)
    addq    $64, %rcx
    cmpq    %r11, %rcx
    jne     LOCAL_LABEL(cz_clear)

    cmpq    $16, %rsi                   /* too short to scan: len + 1 */
    jae     LOCAL_LABEL(cz_start)
    leaq    1(%rsi), %rax
    .cfi_remember_state
    POP_REG(%rbx)
    ret
    .cfi_restore_state

LOCAL_LABEL(cz_start):
    xorl    %eax, %eax                  /* cost = 0 */
    xorl    %r8d, %r8d                  /* pos = 0 */
    xorl    %r9d, %r9d                  /* anchor = 0 */
    leaq    -12(%rsi), %r10             /* limit = len - 12, at least 4 */

    .p2align 4
LOCAL_LABEL(cz_scan):
    movl    (%rdi,%r8), %ecx            /* x = little-endian word at pos */
    imull   $0x9E3779B1, %ecx, %r11d    /* slot = (x * 0x9E3779B1 mod 2^32) >> 16 */
    shrl    $16, %r11d
    movl    (%rdx,%r11,4), %ebx         /* cand = table[slot] */
    movl    %r8d, (%rdx,%r11,4)         /* table[slot] = pos, match or not */
    cmpq    %r8, %rbx                   /* only an earlier position */
    jae     LOCAL_LABEL(cz_next)
    movq    %r8, %r11
    subq    %rbx, %r11                  /* distance = pos - cand */
    cmpq    $65535, %r11                /* no farther than 65,535 back */
    ja      LOCAL_LABEL(cz_next)
    cmpl    (%rdi,%rbx), %ecx           /* and the same 4 bytes */
    jne     LOCAL_LABEL(cz_next)

    /* Extend byte by byte from L = 4; the source may overlap the match and
     * the match may run to the end of the input. rcx = pos + L. */
    movq    %rdi, %rbx
    subq    %r11, %rbx                  /* source byte of input[i] is rbx[i] */
    leaq    4(%r8), %rcx
    cmpq    %rsi, %rcx
    jae     LOCAL_LABEL(cz_emit)
LOCAL_LABEL(cz_extend):
    movzbl  (%rdi,%rcx), %r11d
    cmpb    (%rbx,%rcx), %r11b
    jne     LOCAL_LABEL(cz_emit)
    incq    %rcx
    cmpq    %rsi, %rcx
    jb      LOCAL_LABEL(cz_extend)

LOCAL_LABEL(cz_emit):
    movq    %r8, %r11
    subq    %r9, %r11                   /* lit = pos - anchor */
    leaq    3(%rax,%r11), %rax          /* cost += lit + 3 */
    cmpq    $15, %r11                   /* lit >= 15: CF clear, one more */
    sbbq    $-1, %rax
    movq    %rcx, %r11
    subq    %r8, %r11                   /* L */
    cmpq    $19, %r11                   /* L >= 19: CF clear, one more */
    sbbq    $-1, %rax
    movq    %rcx, %r8                   /* pos = anchor = pos + L */
    movq    %rcx, %r9
    cmpq    %r10, %r8
    jb      LOCAL_LABEL(cz_scan)
    jmp     LOCAL_LABEL(cz_flush)

LOCAL_LABEL(cz_next):
    incq    %r8
    cmpq    %r10, %r8
    jb      LOCAL_LABEL(cz_scan)

LOCAL_LABEL(cz_flush):
    subq    %r9, %rsi                   /* trailing literals, then 1 */
    leaq    1(%rax,%rsi), %rax
    POP_REG(%rbx)
    ret
END_FUNCTION(qm_compress)

OBJECT_NOTES

/* uint64_t qm_compress(const uint8_t* input, uint64_t len, uint32_t* table)
 *
 * One greedy LZ77 pass over input with a 65,536-entry hash table of 32-bit
 * positions; returns its cost. rcx, r11 and rbx each hold one value after
 * another, so they have one name per role. */
#include "asm_macros.h"

#define INPUT       %rdi
#define LEN         %rsi
#define TABLE       %rdx
#define COST        %rax
#define POS         %r8                 /* the position being scanned */
#define POS_D       %r8d
#define ANCHOR      %r9                 /* first byte not yet covered */
#define ANCHOR_D    %r9d
#define LIMIT       %r10                /* len - 12: the scan stops here */
#define WORD        %ecx                /* the 4-byte word at pos, then */
#define MATCH_END   %rcx                /* pos + L while a match extends */
#define SLOT        %r11                /* the word's table slot, then */
#define SLOT_D      %r11d
#define DISTANCE    %r11                /* pos - candidate, then scratch */
#define SCRATCH     %r11
#define SCRATCH_D   %r11d
#define SCRATCH_B   %r11b
#define CAND        %rbx                /* the slot's earlier position, then */
#define CAND_D      %ebx
#define SOURCE      %rbx                /* input - distance: source of input[i] */

DEFINE_FUNCTION(qm_compress)
    PUSH_REG(%rbx)

    /* The table is cleared before anything else, even for a short input:
     * four 16-byte stores per 64 bytes. */
    pxor    %xmm0, %xmm0
    movq    TABLE, %rcx
    leaq    262144(TABLE), %r11
LOCAL_LABEL(cz_clear):
    movdqu  %xmm0, (%rcx)
    movdqu  %xmm0, 16(%rcx)
    movdqu  %xmm0, 32(%rcx)
    movdqu  %xmm0, 48(%rcx)
    addq    $64, %rcx
    cmpq    %r11, %rcx
    jne     LOCAL_LABEL(cz_clear)

    cmpq    $16, LEN                    /* too short to scan: len + 1 */
    jae     LOCAL_LABEL(cz_start)
    leaq    1(LEN), COST
    .cfi_remember_state
    POP_REG(%rbx)
    ret
    .cfi_restore_state

LOCAL_LABEL(cz_start):
    xorl    %eax, %eax                  /* cost = 0 */
    xorl    POS_D, POS_D                /* pos = 0 */
    xorl    ANCHOR_D, ANCHOR_D          /* anchor = 0 */
    leaq    -12(LEN), LIMIT             /* limit = len - 12, at least 4 */

    .p2align 4
LOCAL_LABEL(cz_scan):
    movl    (INPUT,POS), WORD           /* x = little-endian word at pos */
    imull   $0x9E3779B1, WORD, SLOT_D   /* slot = (x * 0x9E3779B1 mod 2^32) >> 16 */
    shrl    $16, SLOT_D
    movl    (TABLE,SLOT,4), CAND_D      /* cand = table[slot] */
    movl    POS_D, (TABLE,SLOT,4)       /* table[slot] = pos, match or not */
    cmpq    POS, CAND                   /* only an earlier position */
    jae     LOCAL_LABEL(cz_next)
    movq    POS, DISTANCE
    subq    CAND, DISTANCE              /* distance = pos - cand */
    cmpq    $65535, DISTANCE            /* no farther than 65,535 back */
    ja      LOCAL_LABEL(cz_next)
    cmpl    (INPUT,CAND), WORD          /* and the same 4 bytes */
    jne     LOCAL_LABEL(cz_next)

    /* Extend byte by byte from L = 4; the source may overlap the match and
     * the match may run to the end of the input. */
    movq    INPUT, SOURCE
    subq    DISTANCE, SOURCE
    leaq    4(POS), MATCH_END
    cmpq    LEN, MATCH_END
    jae     LOCAL_LABEL(cz_emit)
LOCAL_LABEL(cz_extend):
    movzbl  (INPUT,MATCH_END), SCRATCH_D
    cmpb    (SOURCE,MATCH_END), SCRATCH_B
    jne     LOCAL_LABEL(cz_emit)
    incq    MATCH_END
    cmpq    LEN, MATCH_END
    jb      LOCAL_LABEL(cz_extend)

LOCAL_LABEL(cz_emit):
    movq    POS, SCRATCH
    subq    ANCHOR, SCRATCH             /* lit = pos - anchor */
    leaq    3(COST,SCRATCH), COST       /* cost += lit + 3 */
    cmpq    $15, SCRATCH                /* lit >= 15: CF clear, one more */
    sbbq    $-1, COST
    movq    MATCH_END, SCRATCH
    subq    POS, SCRATCH                /* L */
    cmpq    $19, SCRATCH                /* L >= 19: CF clear, one more */
    sbbq    $-1, COST
    movq    MATCH_END, POS              /* pos = anchor = pos + L */
    movq    MATCH_END, ANCHOR
    cmpq    LIMIT, POS
    jb      LOCAL_LABEL(cz_scan)
    jmp     LOCAL_LABEL(cz_flush)

LOCAL_LABEL(cz_next):
    incq    POS
    cmpq    LIMIT, POS
    jb      LOCAL_LABEL(cz_scan)

LOCAL_LABEL(cz_flush):
    subq    ANCHOR, LEN                 /* trailing literals, then 1 */
    leaq    1(COST,LEN), COST
    POP_REG(%rbx)
    ret
END_FUNCTION(qm_compress)

OBJECT_NOTES

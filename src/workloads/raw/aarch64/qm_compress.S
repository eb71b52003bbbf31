/* uint64_t qm_compress(const uint8_t* input, uint64_t len, uint32_t* table)
 *
 * One greedy LZ77 pass over input with a 65,536-entry hash table of 32-bit
 * positions; returns its cost. A leaf routine in caller-saved registers
 * only; x10 and x13 each hold one value after another, so they have one
 * name per role. */
#include "asm_macros.h"

#define INPUT       x0
#define LEN         x1
#define TABLE       x2
#define COST        x3
#define POS         x4                  /* the position being scanned */
#define POS_W       w4
#define ANCHOR      x5                  /* first byte not yet covered */
#define LIMIT       x6                  /* len - 12: the scan stops here */
#define WORD        w7                  /* the 4-byte word at pos */
#define SLOT        x8                  /* the word's table slot */
#define SLOT_W      w8
#define CAND        x9                  /* the slot's earlier position */
#define CAND_W      w9
#define DISTANCE    x10                 /* pos - candidate */
#define MATCH_END   x11                 /* pos + L while a match extends */
#define SOURCE      x12                 /* input - distance: source of input[i] */
#define SCRATCH     x13
#define SCRATCH_W   w13
#define BYTE_W      w14
#define HASH_MUL    w15                 /* 0x9E3779B1 */
#define CLEAR_AT    x16
#define CLEAR_END   x17
#define ZERO        q16                 /* v16, all zero */

DEFINE_FUNCTION(qm_compress)
    /* The table is cleared before anything else, even for a short input:
     * four 16-byte stores per 64 bytes. */
    movi    v16.2d, #0
    mov     CLEAR_AT, TABLE
    add     CLEAR_END, TABLE, #(262144 >> 12), lsl #12
LOCAL_LABEL(cz_clear):
    stp     ZERO, ZERO, [CLEAR_AT]
    stp     ZERO, ZERO, [CLEAR_AT, #32]
    add     CLEAR_AT, CLEAR_AT, #64
    cmp     CLEAR_AT, CLEAR_END
    b.ne    LOCAL_LABEL(cz_clear)

    cmp     LEN, #16                    /* too short to scan: len + 1 */
    b.hs    LOCAL_LABEL(cz_start)
    add     x0, LEN, #1
    ret

LOCAL_LABEL(cz_start):
    mov     COST, #0
    mov     POS, #0
    mov     ANCHOR, #0
    sub     LIMIT, LEN, #12             /* limit = len - 12, at least 4 */
    mov     HASH_MUL, #0x79B1
    movk    HASH_MUL, #0x9E37, lsl #16

    .p2align 4
LOCAL_LABEL(cz_scan):
    ldr     WORD, [INPUT, POS]          /* x = little-endian word at pos */
    mul     SLOT_W, WORD, HASH_MUL      /* slot = (x * 0x9E3779B1 mod 2^32) >> 16 */
    lsr     SLOT_W, SLOT_W, #16
    ldr     CAND_W, [TABLE, SLOT, lsl #2] /* cand = table[slot] */
    str     POS_W, [TABLE, SLOT, lsl #2]  /* table[slot] = pos, match or not */
    cmp     CAND, POS                   /* only an earlier position */
    b.hs    LOCAL_LABEL(cz_next)
    sub     DISTANCE, POS, CAND         /* distance = pos - cand */
    cmp     DISTANCE, #16, lsl #12      /* no farther than 65,535 back */
    b.hs    LOCAL_LABEL(cz_next)
    ldr     SCRATCH_W, [INPUT, CAND]    /* and the same 4 bytes */
    cmp     SCRATCH_W, WORD
    b.ne    LOCAL_LABEL(cz_next)

    /* Extend byte by byte from L = 4; the source may overlap the match and
     * the match may run to the end of the input. */
    sub     SOURCE, INPUT, DISTANCE
    add     MATCH_END, POS, #4
    cmp     MATCH_END, LEN
    b.hs    LOCAL_LABEL(cz_emit)
LOCAL_LABEL(cz_extend):
    ldrb    SCRATCH_W, [INPUT, MATCH_END]
    ldrb    BYTE_W, [SOURCE, MATCH_END]
    cmp     SCRATCH_W, BYTE_W
    b.ne    LOCAL_LABEL(cz_emit)
    add     MATCH_END, MATCH_END, #1
    cmp     MATCH_END, LEN
    b.lo    LOCAL_LABEL(cz_extend)

LOCAL_LABEL(cz_emit):
    sub     SCRATCH, POS, ANCHOR        /* lit = pos - anchor */
    add     COST, COST, SCRATCH
    add     COST, COST, #3              /* cost += lit + 3 */
    cmp     SCRATCH, #15                /* lit >= 15: one more */
    cinc    COST, COST, hs
    sub     SCRATCH, MATCH_END, POS     /* L */
    cmp     SCRATCH, #19                /* L >= 19: one more */
    cinc    COST, COST, hs
    mov     POS, MATCH_END              /* pos = anchor = pos + L */
    mov     ANCHOR, MATCH_END
    cmp     POS, LIMIT
    b.lo    LOCAL_LABEL(cz_scan)
    b       LOCAL_LABEL(cz_flush)

LOCAL_LABEL(cz_next):
    add     POS, POS, #1
    cmp     POS, LIMIT
    b.lo    LOCAL_LABEL(cz_scan)

LOCAL_LABEL(cz_flush):
    sub     LEN, LEN, ANCHOR            /* trailing literals, then 1 */
    add     COST, COST, LEN
    add     x0, COST, #1
    ret
END_FUNCTION(qm_compress)

OBJECT_NOTES

/* uint64_t qm_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key,
 *                      uint64_t passes)
 *
 * ChaCha20 (nonce zero) XORed in place over the whole 64-byte blocks of buf,
 * `passes` times, the block counter carrying on from pass to pass. The four
 * rows of the state are four vector registers, so one quarter-round works on
 * all four columns at once; the diagonal round turns rows b, c and d by one,
 * two and three word positions and back. Advanced SIMD only; v8-v15 are
 * left alone (their low halves are callee-saved).
 * Returns (C0 + C1 + C2 + C3) mod 2^32, where Cj ^= k[j] ^ k[12 + j] over
 * every keystream block k. */
#include "asm_macros.h"

#define BUF          x0
#define LEN          x1                 /* whole blocks only */
#define KEY          x2
#define PASSES       x3                 /* passes left */
#define END          x4                 /* end of the whole blocks */
#define BLOCK        x5                 /* current block */
#define ROUNDS       w6                 /* double rounds left */

/* The input rows, held for the call, are v16 (constant), v17 and v18 (key
 * bytes 0..15 and 16..31) and v19 (counter, nonce 0); v20 is { 1, 0, 0, 0 },
 * v21 the checksum words C0..C3. v0..v3 are the working rows a..d, v4..v7
 * the block's bytes, v22 a scratch row. */

/* b = (b ^ c) <<< n in every 32-bit word. */
.macro XOR_ROTL b, c, n
    eor     v22.16b, \b\().16b, \c\().16b
    shl     \b\().4s, v22.4s, #\n
    sri     \b\().4s, v22.4s, #(32 - \n)
.endm

/* The quarter-round on the four columns of rows a..d at once. */
.macro QUARTER_ROUND a, b, c, d
    add     \a\().4s, \a\().4s, \b\().4s /* a += b; d ^= a; d <<<= 16 */
    eor     \d\().16b, \d\().16b, \a\().16b
    rev32   \d\().8h, \d\().8h          /* 16: swap the halves of each word */
    add     \c\().4s, \c\().4s, \d\().4s /* c += d; b ^= c; b <<<= 12 */
    XOR_ROTL \b, \c, 12
    add     \a\().4s, \a\().4s, \b\().4s /* a += b; d ^= a; d <<<= 8 */
    XOR_ROTL \d, \a, 8
    add     \c\().4s, \c\().4s, \d\().4s /* c += d; b ^= c; b <<<= 7 */
    XOR_ROTL \b, \c, 7
.endm

/* Turn rows b, c and d left by the given byte counts (4 bytes a word). */
.macro TURN_ROWS b_bytes, c_bytes, d_bytes
    ext     v1.16b, v1.16b, v1.16b, #\b_bytes
    ext     v2.16b, v2.16b, v2.16b, #\c_bytes
    ext     v3.16b, v3.16b, v3.16b, #\d_bytes
.endm

    RODATA_SECTION
    .p2align 4
qm_chacha20_sigma:
    .ascii  "expand 32-byte k"

DEFINE_FUNCTION(qm_chacha20)
    ands    LEN, LEN, #0xffffffffffffffc0 /* whole blocks only */
    b.eq    LOCAL_LABEL(cc_none)
    cbz     PASSES, LOCAL_LABEL(cc_none)

    LOAD_ADDRESS(x9, qm_chacha20_sigma)
    ldr     q16, [x9]
    ldp     q17, q18, [KEY]
    movi    v19.2d, #0                  /* counter 0, nonce 0 */
    mov     w9, #1
    fmov    s20, w9                     /* { 1, 0, 0, 0 }: the rest is cleared */
    movi    v21.2d, #0
    add     END, BUF, LEN

LOCAL_LABEL(cc_pass):
    mov     BLOCK, BUF
    .p2align 4
LOCAL_LABEL(cc_block):
    mov     v0.16b, v16.16b
    mov     v1.16b, v17.16b
    mov     v2.16b, v18.16b
    mov     v3.16b, v19.16b
    mov     ROUNDS, #10

LOCAL_LABEL(cc_double_round):
    QUARTER_ROUND v0, v1, v2, v3        /* column round */
    TURN_ROWS 4, 8, 12                  /* line the diagonals up as columns */
    QUARTER_ROUND v0, v1, v2, v3        /* diagonal round */
    TURN_ROWS 12, 8, 4                  /* and back */
    subs    ROUNDS, ROUNDS, #1
    b.ne    LOCAL_LABEL(cc_double_round)

    add     v0.4s, v0.4s, v16.4s        /* add the input back: keystream */
    add     v1.4s, v1.4s, v17.4s
    add     v2.4s, v2.4s, v18.4s
    add     v3.4s, v3.4s, v19.4s
    eor     v21.16b, v21.16b, v0.16b    /* Cj ^= k[j] ^ k[12 + j] */
    eor     v21.16b, v21.16b, v3.16b

    ld1     {v4.16b, v5.16b, v6.16b, v7.16b}, [BLOCK] /* XOR into the buffer, in place */
    eor     v4.16b, v4.16b, v0.16b
    eor     v5.16b, v5.16b, v1.16b
    eor     v6.16b, v6.16b, v2.16b
    eor     v7.16b, v7.16b, v3.16b
    st1     {v4.16b, v5.16b, v6.16b, v7.16b}, [BLOCK], #64

    add     v19.4s, v19.4s, v20.4s      /* next counter, mod 2^32 */
    cmp     BLOCK, END
    b.ne    LOCAL_LABEL(cc_block)
    subs    PASSES, PASSES, #1
    b.ne    LOCAL_LABEL(cc_pass)

    addv    s21, v21.4s                 /* C0 + C1 + C2 + C3 */
    fmov    w0, s21                     /* upper half of x0 cleared */
    ret
LOCAL_LABEL(cc_none):
    mov     x0, #0
    ret
END_FUNCTION(qm_chacha20)

OBJECT_NOTES

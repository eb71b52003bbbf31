/* uint64_t qm_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key,
 *                      uint64_t passes)
 *
 * ChaCha20 (nonce zero) XORed in place over the whole 64-byte blocks of buf,
 * `passes` times, the block counter carrying on from pass to pass. The four
 * rows of the state are four XMM registers, so one quarter-round works on
 * all four columns at once; the diagonal round turns rows b, c and d by one,
 * two and three word positions and back. SSE2 only.
 * Returns (C0 + C1 + C2 + C3) mod 2^32, where Cj ^= k[j] ^ k[12 + j] over
 * every keystream block k. */
#include "asm_macros.h"

#define BUF          %rdi
#define LEN          %rsi               /* whole blocks only */
#define KEY          %rdx
#define PASSES       %rcx               /* passes left */
#define END          %r8                /* end of the whole blocks */
#define BLOCK        %r9                /* current block */
#define ROUNDS       %r10d              /* double rounds left */

#define IN_CONST     %xmm8              /* the input rows, held for the call */
#define IN_KEY_LO    %xmm9              /* key bytes 0..15 */
#define IN_KEY_HI    %xmm10             /* key bytes 16..31 */
#define IN_COUNTER   %xmm11             /* counter, nonce 0 */
#define COUNTER_STEP %xmm12             /* { 1, 0, 0, 0 } */
#define SUMS         %xmm13             /* checksum words C0..C3 */
#define ROW_A        %xmm0              /* the working rows */
#define ROW_B        %xmm1
#define ROW_C        %xmm2
#define ROW_D        %xmm3
#define TMP          %xmm4

/* x <<<= n in every 32-bit word. */
.macro ROTL32 x, n
    movdqa  \x, TMP
    pslld   $\n, \x
    psrld   $(32 - \n), TMP
    por     TMP, \x
.endm

/* The quarter-round on the four columns of rows a..d at once. */
.macro QUARTER_ROUND a, b, c, d
    paddd   \b, \a                      /* a += b; d ^= a; d <<<= 16 */
    pxor    \a, \d
    pshuflw $0xB1, \d, \d               /* 16: swap the halves of each word */
    pshufhw $0xB1, \d, \d
    paddd   \d, \c                      /* c += d; b ^= c; b <<<= 12 */
    pxor    \c, \b
    ROTL32  \b, 12
    paddd   \b, \a                      /* a += b; d ^= a; d <<<= 8 */
    pxor    \a, \d
    ROTL32  \d, 8
    paddd   \d, \c                      /* c += d; b ^= c; b <<<= 7 */
    pxor    \c, \b
    ROTL32  \b, 7
.endm

/* Turn rows B, C and D by the given word shuffles. */
.macro TURN_ROWS b_order, c_order, d_order
    pshufd  $\b_order, ROW_B, ROW_B
    pshufd  $\c_order, ROW_C, ROW_C
    pshufd  $\d_order, ROW_D, ROW_D
.endm

/* 16 bytes of the block ^= one keystream row. */
.macro XOR_ROW row, offset
    movdqu  \offset(BLOCK), TMP
    pxor    \row, TMP
    movdqu  TMP, \offset(BLOCK)
.endm

    RODATA_SECTION
    .p2align 4
qm_chacha20_sigma:
    .ascii  "expand 32-byte k"

DEFINE_FUNCTION(qm_chacha20)
    xorl    %eax, %eax
    andq    $-64, LEN                   /* whole blocks only */
    jz      LOCAL_LABEL(cc_done)
    testq   PASSES, PASSES
    jz      LOCAL_LABEL(cc_done)

    movdqa  qm_chacha20_sigma(%rip), IN_CONST
    movdqu  (KEY), IN_KEY_LO
    movdqu  16(KEY), IN_KEY_HI
    pxor    IN_COUNTER, IN_COUNTER      /* counter 0, nonce 0 */
    movl    $1, %eax
    movd    %eax, COUNTER_STEP
    pxor    SUMS, SUMS
    leaq    (BUF,LEN), END

LOCAL_LABEL(cc_pass):
    movq    BUF, BLOCK
    .p2align 4
LOCAL_LABEL(cc_block):
    movdqa  IN_CONST, ROW_A
    movdqa  IN_KEY_LO, ROW_B
    movdqa  IN_KEY_HI, ROW_C
    movdqa  IN_COUNTER, ROW_D
    movl    $10, ROUNDS

LOCAL_LABEL(cc_double_round):
    QUARTER_ROUND ROW_A, ROW_B, ROW_C, ROW_D /* column round */
    TURN_ROWS 0x39, 0x4E, 0x93          /* line the diagonals up as columns */
    QUARTER_ROUND ROW_A, ROW_B, ROW_C, ROW_D /* diagonal round */
    TURN_ROWS 0x93, 0x4E, 0x39          /* and back */
    decl    ROUNDS
    jnz     LOCAL_LABEL(cc_double_round)

    paddd   IN_CONST, ROW_A             /* add the input back: keystream */
    paddd   IN_KEY_LO, ROW_B
    paddd   IN_KEY_HI, ROW_C
    paddd   IN_COUNTER, ROW_D
    pxor    ROW_A, SUMS                 /* Cj ^= k[j] ^ k[12 + j] */
    pxor    ROW_D, SUMS

    XOR_ROW ROW_A, 0                    /* XOR into the buffer, in place */
    XOR_ROW ROW_B, 16
    XOR_ROW ROW_C, 32
    XOR_ROW ROW_D, 48

    paddd   COUNTER_STEP, IN_COUNTER    /* next counter, mod 2^32 */
    addq    $64, BLOCK
    cmpq    END, BLOCK
    jne     LOCAL_LABEL(cc_block)
    decq    PASSES
    jnz     LOCAL_LABEL(cc_pass)

    pshufd  $0x4E, SUMS, TMP            /* C0 + C1 + C2 + C3 */
    paddd   TMP, SUMS
    pshufd  $0xB1, SUMS, TMP
    paddd   TMP, SUMS
    movd    SUMS, %eax                  /* upper half of rax cleared */
LOCAL_LABEL(cc_done):
    ret
END_FUNCTION(qm_chacha20)

OBJECT_NOTES

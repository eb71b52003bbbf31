/* uint64_t qm_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key,
 *                      uint64_t passes)
 *
 * ChaCha20 (nonce zero) XORed in place over the whole 64-byte blocks of buf,
 * `passes` times, the block counter carrying on from pass to pass. The four
 * rows of the state are four XMM registers; the diagonal round turns rows
 * 1, 2 and 3 by one, two and three word positions and back. SSE2 only.
 *   xmm8..xmm11  = input rows: constant, key 0..15, key 16..31, counter/nonce
 *   xmm12        = { 1, 0, 0, 0 }, the counter step
 *   xmm13        = checksum words C0..C3 (Cj ^= k[j] ^ k[12 + j])
 *   xmm0..xmm3   = working rows a, b, c, d; xmm4 scratch
 *   r8 = end of the whole blocks, r9 = current block, r10d = double rounds
 * Returns (C0 + C1 + C2 + C3) mod 2^32. */
#include "asm_macros.h"

    RODATA_SECTION
    .p2align 4
qm_chacha20_sigma:
    .ascii  "expand 32-byte k"

DEFINE_FUNCTION(qm_chacha20)
    xorl    %eax, %eax
    andq    $-64, %rsi                  /* whole blocks only */
    jz      LOCAL_LABEL(cc_done)
    testq   %rcx, %rcx
    jz      LOCAL_LABEL(cc_done)

    movdqa  qm_chacha20_sigma(%rip), %xmm8
    movdqu  (%rdx), %xmm9               /* key rows, held for the whole call */
    movdqu  16(%rdx), %xmm10
    pxor    %xmm11, %xmm11              /* counter 0, nonce 0 */
    movl    $1, %eax
    movd    %eax, %xmm12
    pxor    %xmm13, %xmm13
    leaq    (%rdi,%rsi), %r8

LOCAL_LABEL(cc_pass):
    movq    %rdi, %r9
    .p2align 4
LOCAL_LABEL(cc_block):
    movdqa  %xmm8, %xmm0
    movdqa  %xmm9, %xmm1
    movdqa  %xmm10, %xmm2
    movdqa  %xmm11, %xmm3
    movl    $10, %r10d

LOCAL_LABEL(cc_double_round):
    /* column round: quarter-rounds on the four columns at once */
    paddd   %xmm1, %xmm0                /* a += b; d ^= a; d <<<= 16 */
    pxor    %xmm0, %xmm3
    pshuflw $0xB1, %xmm3, %xmm3         /* 16: swap the halves of each word */
    pshufhw $0xB1, %xmm3, %xmm3
    paddd   %xmm3, %xmm2                /* c += d; b ^= c; b <<<= 12 */
    pxor    %xmm2, %xmm1
    movdqa  %xmm1, %xmm4
    pslld   $12, %xmm1
    psrld   $20, %xmm4
    por     %xmm4, %xmm1
    paddd   %xmm1, %xmm0                /* a += b; d ^= a; d <<<= 8 */
    pxor    %xmm0, %xmm3
    movdqa  %xmm3, %xmm4
    pslld   $8, %xmm3
    psrld   $24, %xmm4
    por     %xmm4, %xmm3
    paddd   %xmm3, %xmm2                /* c += d; b ^= c; b <<<= 7 */
    pxor    %xmm2, %xmm1
    movdqa  %xmm1, %xmm4
    pslld   $7, %xmm1
    psrld   $25, %xmm4
    por     %xmm4, %xmm1

    /* line the diagonals up as columns: b by one word, c by two, d by three */
    pshufd  $0x39, %xmm1, %xmm1
    pshufd  $0x4E, %xmm2, %xmm2
    pshufd  $0x93, %xmm3, %xmm3

    /* diagonal round: the same quarter-round */
    paddd   %xmm1, %xmm0
    pxor    %xmm0, %xmm3
    pshuflw $0xB1, %xmm3, %xmm3
    pshufhw $0xB1, %xmm3, %xmm3
    paddd   %xmm3, %xmm2
    pxor    %xmm2, %xmm1
    movdqa  %xmm1, %xmm4
    pslld   $12, %xmm1
    psrld   $20, %xmm4
    por     %xmm4, %xmm1
    paddd   %xmm1, %xmm0
    pxor    %xmm0, %xmm3
    movdqa  %xmm3, %xmm4
    pslld   $8, %xmm3
    psrld   $24, %xmm4
    por     %xmm4, %xmm3
    paddd   %xmm3, %xmm2
    pxor    %xmm2, %xmm1
    movdqa  %xmm1, %xmm4
    pslld   $7, %xmm1
    psrld   $25, %xmm4
    por     %xmm4, %xmm1

    /* and back */
    pshufd  $0x93, %xmm1, %xmm1
    pshufd  $0x4E, %xmm2, %xmm2
    pshufd  $0x39, %xmm3, %xmm3

    decl    %r10d
    jnz     LOCAL_LABEL(cc_double_round)

    paddd   %xmm8, %xmm0                /* add the input back: keystream */
    paddd   %xmm9, %xmm1
    paddd   %xmm10, %xmm2
    paddd   %xmm11, %xmm3
    pxor    %xmm0, %xmm13               /* Cj ^= k[j] ^ k[12 + j] */
    pxor    %xmm3, %xmm13

    movdqu  (%r9), %xmm4                /* XOR into the buffer, in place */
    pxor    %xmm0, %xmm4
    movdqu  %xmm4, (%r9)
    movdqu  16(%r9), %xmm4
    pxor    %xmm1, %xmm4
    movdqu  %xmm4, 16(%r9)
    movdqu  32(%r9), %xmm4
    pxor    %xmm2, %xmm4
    movdqu  %xmm4, 32(%r9)
    movdqu  48(%r9), %xmm4
    pxor    %xmm3, %xmm4
    movdqu  %xmm4, 48(%r9)

    paddd   %xmm12, %xmm11              /* next counter, mod 2^32 */
    addq    $64, %r9
    cmpq    %r8, %r9
    jne     LOCAL_LABEL(cc_block)
    decq    %rcx
    jnz     LOCAL_LABEL(cc_pass)

    pshufd  $0x4E, %xmm13, %xmm4        /* C0 + C1 + C2 + C3 */
    paddd   %xmm4, %xmm13
    pshufd  $0xB1, %xmm13, %xmm4
    paddd   %xmm4, %xmm13
    movd    %xmm13, %eax                /* upper half of rax cleared */
LOCAL_LABEL(cc_done):
    ret
END_FUNCTION(qm_chacha20)

OBJECT_NOTES

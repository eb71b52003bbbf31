// The encryption test's portable kernel and the block function under it.
#pragma once

#include <cstdint>

// One ChaCha20 keystream block: 20 rounds over the sixteen input words, the
// input added back word by word. Word 12 is the block counter.
void chacha20_block(const uint32_t in[16], uint32_t out[16]);

// Encrypts buf in place, `passes` times over its whole 64-byte blocks, with the
// counter starting at 0 and carrying on from pass to pass (nonce zero). A
// trailing partial block is left alone. Returns the XOR of every keystream
// word used; 0, with the buffer untouched, when there is no whole block or no
// pass.
uint64_t qm_c_chacha20(uint8_t* buf, uint64_t len, const uint8_t* key, uint64_t passes);

/* uint64_t qm_chase(const uint64_t* start, uint64_t loads)
 *
 * Pointer chase: p = start, then `loads` times p = *p. Returns p - start, the
 * byte distance of the node reached (0 for no loads). The loop is one
 * dependent load and one counter decrement per step and nothing else, so a
 * step costs the latency of one load.
 *   rax = p, rsi = loads left, rdi = start. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_chase)
    movq    %rdi, %rax
    testq   %rsi, %rsi
    jz      LOCAL_LABEL(ch_done)

    .p2align 4
LOCAL_LABEL(ch_step):
    movq    (%rax), %rax
    decq    %rsi
    jnz     LOCAL_LABEL(ch_step)

LOCAL_LABEL(ch_done):
    subq    %rdi, %rax
    ret
END_FUNCTION(qm_chase)

OBJECT_NOTES

/* uint64_t qm_chase(const uint64_t* start, uint64_t loads)
 *
 * Pointer chase: p = start, then `loads` times p = *p. Returns p - start, the
 * byte distance of the node reached (0 for no loads). The loop is one
 * dependent load and one counter decrement per step and nothing else, so a
 * step costs the latency of one load.
 *   x2 = p, x1 = loads left, x0 = start. */
#include "asm_macros.h"

DEFINE_FUNCTION(qm_chase)
    mov     x2, x0
    cbz     x1, LOCAL_LABEL(ch_done)

    .p2align 4
LOCAL_LABEL(ch_step):
    ldr     x2, [x2]
    subs    x1, x1, #1
    b.ne    LOCAL_LABEL(ch_step)

LOCAL_LABEL(ch_done):
    sub     x0, x2, x0
    ret
END_FUNCTION(qm_chase)

OBJECT_NOTES

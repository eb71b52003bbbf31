/* Byte layout of one physics body (struct Body in workloads.h), shared by
 * the C++ declaration, which checks it with static_assert, and the kernel
 * that addresses the fields by offset. Macros only, so that both the
 * compiler and the assembler can read it. */
#ifndef QUILLMOTH_BODY_LAYOUT_H
#define QUILLMOTH_BODY_LAYOUT_H

#define QM_BODY_X 0
#define QM_BODY_Y 8
#define QM_BODY_Z 16
#define QM_BODY_M 24
#define QM_BODY_VX 32
#define QM_BODY_VY 40
#define QM_BODY_VZ 48
#define QM_BODY_SIZE_LOG2 6 /* bodies are indexed by shifting */
#define QM_BODY_SIZE 64

#endif /* QUILLMOTH_BODY_LAYOUT_H */

/* Platform glue for the hand-written kernels, shared by the .S files and C.
 *
 * Every difference between ELF (Linux) and Mach-O (macOS) object files lives
 * here: the symbol prefix, the section names, the ELF-only .type/.size and the
 * non-executable-stack note. Kernels use only DEFINE_FUNCTION, END_FUNCTION,
 * SYMBOL_NAME, RODATA_SECTION and CET_ENDBR, so each .S file assembles
 * unchanged with GNU as and with Clang's integrated assembler. */
#ifndef QUILLMOTH_ASM_MACROS_H
#define QUILLMOTH_ASM_MACROS_H

#if defined(__APPLE__)
#define QM_SYMBOL_PREFIX _
#else
#define QM_SYMBOL_PREFIX
#endif

#define QM_CONCAT_(a, b) a##b
#define QM_CONCAT(a, b) QM_CONCAT_(a, b)
#define SYMBOL_NAME(name) QM_CONCAT(QM_SYMBOL_PREFIX, name)

#if defined(__ASSEMBLER__)

#if !defined(__x86_64__)
#error "the RAW kernels are x86-64 code"
#endif

/* Indirect-branch tracking: only when the build asks for CET. */
#if defined(__CET__) && (__CET__ & 1)
#define CET_ENDBR endbr64
#else
#define CET_ENDBR
#endif

#if defined(__APPLE__)
#define TEXT_SECTION .text
#define RODATA_SECTION .section __TEXT,__const
#define SYMBOL_IS_FUNC(name)
#define SYMBOL_SIZE(name)
#define HIDDEN(name) .private_extern name
#else
#define TEXT_SECTION .text
#define RODATA_SECTION .section .rodata
#define SYMBOL_IS_FUNC(name) .type name, @function
#define SYMBOL_SIZE(name) .size name, . - name
#define HIDDEN(name) .hidden name
#endif

/* x86 assemblers on both platforms take ';' between statements. */
#define DEFINE_FUNCTION(name)              \
    TEXT_SECTION;                          \
    .p2align 4;                            \
    .globl SYMBOL_NAME(name);              \
    HIDDEN(SYMBOL_NAME(name));             \
    SYMBOL_IS_FUNC(SYMBOL_NAME(name));     \
    SYMBOL_NAME(name):                     \
    CET_ENDBR

#define END_FUNCTION(name) SYMBOL_SIZE(SYMBOL_NAME(name))

/* Every .S file ends with this: on ELF it marks the stack non-executable
 * (without it the linker would make the whole program's stack executable). */
#if defined(__ELF__)
#define NO_EXEC_STACK_DIRECTIVE .section .note.GNU-stack, "", @progbits
#else
#define NO_EXEC_STACK_DIRECTIVE
#endif

#endif /* __ASSEMBLER__ */

#endif /* QUILLMOTH_ASM_MACROS_H */

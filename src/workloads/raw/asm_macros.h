/* Platform glue for the hand-written kernels; included by .S files only.
 *
 * Every difference between ELF (Linux) and Mach-O (macOS) object files lives
 * here, so each kernel assembles unchanged with GNU as and with Clang's
 * integrated assembler. A kernel file uses:
 *   DEFINE_FUNCTION(name) ... END_FUNCTION(name)   one routine, with CFI
 *   PUSH_REG(%reg) / POP_REG(%reg)                 saves that unwinders see
 *   LOCAL_LABEL(name)                              a label kept out of the
 *                                                  symbol table
 *   SYMBOL_NAME(name)                              a call to another kernel
 *   RODATA_SECTION                                 constants
 *   OBJECT_NOTES                                   last line of every file
 * Several statements in one macro are joined with ';', which x86 assemblers
 * take as a separator on both platforms. A kernel's own .macro blocks give
 * every macro at least one parameter: in a macro without parameters Apple's
 * assembler reads $0, $1, ... as positional arguments, so an immediate such
 * as $0xB1 would silently lose its "$0". */
#ifndef QUILLMOTH_ASM_MACROS_H
#define QUILLMOTH_ASM_MACROS_H

#if !defined(__ASSEMBLER__)
#error "asm_macros.h is for assembly files; C++ reads the layouts from their own headers"
#endif

#if !defined(__x86_64__)
#error "the RAW kernels are x86-64 code"
#endif

#define QM_GLUE2_(a, b) a##b
#define QM_GLUE2(a, b) QM_GLUE2_(a, b)

/* The compiler knows the C symbol prefix of its target ('_' on Mach-O,
 * nothing on ELF); asking it keeps the two from ever disagreeing. */
#define SYMBOL_NAME(name) QM_GLUE2(__USER_LABEL_PREFIX__, name)

#if defined(__ELF__)
/* .L labels are assembler-local: they never reach the symbol table, so
 * profilers attribute every loop to its routine. */
#define LOCAL_LABEL(name) QM_GLUE2(.L, name)
#define RODATA_SECTION .section .rodata
#define SYMBOL_IS_FUNC(name) .type name, @function
#define SYMBOL_SIZE(name) .size name, . - name
#define HIDDEN(name) .hidden name
#elif defined(__APPLE__) && defined(__MACH__)
/* Mach-O's assembler-local prefix is a bare 'L'; a .L label would be an
 * ordinary symbol that splits the routine in two for the linker and the
 * unwinder. */
#define LOCAL_LABEL(name) QM_GLUE2(L, name)
#define RODATA_SECTION .section __TEXT,__const
#define SYMBOL_IS_FUNC(name)
#define SYMBOL_SIZE(name)
#define HIDDEN(name) .private_extern name
#else
#error "the RAW kernels are built for ELF or Mach-O objects only"
#endif

/* Indirect-branch tracking: a landing pad only when the build asks for CET. */
#if defined(__CET__) && (__CET__ & 1)
#define CET_ENDBR endbr64
#else
#define CET_ENDBR
#endif

#define DEFINE_FUNCTION(name)              \
    .text;                                 \
    .p2align 4;                            \
    .globl SYMBOL_NAME(name);              \
    HIDDEN(SYMBOL_NAME(name));             \
    SYMBOL_IS_FUNC(SYMBOL_NAME(name));     \
    SYMBOL_NAME(name):                     \
    .cfi_startproc;                        \
    CET_ENDBR

#define END_FUNCTION(name)                 \
    .cfi_endproc;                          \
    SYMBOL_SIZE(SYMBOL_NAME(name))

/* A callee-saved register saved on the stack, and restored. The unwind
 * table follows both the stack pointer and where the register lives, so a
 * backtrace from a routine this one calls still reaches its caller. A
 * routine that returns early from between a PUSH_REG and its POP_REG wraps
 * that return in .cfi_remember_state / .cfi_restore_state. */
#define PUSH_REG(reg)                      \
    pushq reg;                             \
    .cfi_adjust_cfa_offset 8;              \
    .cfi_rel_offset reg, 0

#define POP_REG(reg)                       \
    popq reg;                              \
    .cfi_adjust_cfa_offset -8;             \
    .cfi_restore reg

#if defined(__ELF__)
/* Without the stack note the linker would make the whole program's stack
 * executable. */
#define QM_NO_EXEC_STACK_NOTE .section .note.GNU-stack, "", @progbits
#else
#define QM_NO_EXEC_STACK_NOTE
#endif

#if defined(__ELF__) && defined(__CET__)
/* The linker keeps a CET feature in the program only when every object
 * declares it, so a CET build must say that these kernels are ready: they
 * start with endbr64 (IBT) and return only through ret (shadow stack).
 * One NT_GNU_PROPERTY_TYPE_0 note holding GNU_PROPERTY_X86_FEATURE_1_AND,
 * laid out for a 64-bit object (8-byte aligned descriptor). */
#define QM_GNU_PROPERTY_NOTE                                        \
    .pushsection .note.gnu.property, "a";                           \
    .p2align 3;                                                     \
    .long 4;                       /* name size: "GNU\0" */         \
    .long 16;                      /* descriptor size */            \
    .long 5;                       /* NT_GNU_PROPERTY_TYPE_0 */     \
    .asciz "GNU";                                                   \
    .long 0xc0000002;              /* X86_FEATURE_1_AND */          \
    .long 4;                       /* property data size */         \
    .long (__CET__ & 3);           /* bit 0 IBT, bit 1 SHSTK */     \
    .p2align 3;                                                     \
    .popsection
#else
#define QM_GNU_PROPERTY_NOTE
#endif

#define OBJECT_NOTES QM_NO_EXEC_STACK_NOTE; QM_GNU_PROPERTY_NOTE

#endif /* QUILLMOTH_ASM_MACROS_H */

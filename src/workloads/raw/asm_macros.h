/* Platform glue for the hand-written kernels; included by .S files only.
 *
 * Every difference between ELF (Linux) and Mach-O (macOS) object files, and
 * between x86-64 and AArch64, lives here, so each kernel assembles unchanged
 * with GNU as and with Clang's integrated assembler. A kernel file uses:
 *   DEFINE_FUNCTION(name) ... END_FUNCTION(name)   one routine, with CFI
 *   LOCAL_LABEL(name)                              a label kept out of the
 *                                                  symbol table
 *   SYMBOL_NAME(name)                              a call to another kernel
 *   RODATA_SECTION                                 constants
 *   OBJECT_NOTES                                   last line of every file
 * x86-64 only:
 *   PUSH_REG(%reg) / POP_REG(%reg)                 saves that unwinders see
 * AArch64 only:
 *   PUSH_PAIR(a, b) / POP_PAIR(a, b)               16-byte saves that
 *                                                  unwinders see
 *   SIGN_LR / AUTH_LR                              around a saved x30, for
 *                                                  return-address signing
 *   PAGE(sym), PAGE_OFFSET(sym)                    adrp/add or ldr operands:
 *     adrp x9, PAGE(sym); add x9, x9, PAGE_OFFSET(sym)
 *   LOAD_ADDRESS(reg, sym)                         both of those at once
 * Several statements in one macro are joined with SEPARATOR: ';' everywhere
 * but in Apple's arm64 assembler, where ';' starts a comment. Kernels write
 * comments as C comments only, which the preprocessor removes.
 * A kernel's own .macro blocks give every macro at least one parameter: in a
 * macro without parameters Apple's assembler reads $0, $1, ... as positional
 * arguments, so an immediate such as $0xB1 would silently lose its "$0". */
#ifndef QUILLMOTH_ASM_MACROS_H
#define QUILLMOTH_ASM_MACROS_H

#if !defined(__ASSEMBLER__)
#error "asm_macros.h is for assembly files; C++ reads the layouts from their own headers"
#endif

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "the RAW kernels are x86-64 or AArch64 code"
#endif

#if defined(__APPLE__) && defined(__aarch64__)
#define SEPARATOR %%
#else
#define SEPARATOR ;
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
/* '%' rather than '@' for the symbol and section types: on AArch64 '@' may
 * not be taken as a type prefix, and both assemblers read '%' on both. */
#define SYMBOL_IS_FUNC(name) .type name, %function
#define SYMBOL_SIZE(name) .size name, . - name
#define HIDDEN(name) .hidden name
/* Adrp's page and the low 12 bits of the address within it. */
#define PAGE(sym) sym
#define PAGE_OFFSET(sym) :lo12:sym
#elif defined(__APPLE__) && defined(__MACH__)
/* Mach-O's assembler-local prefix is a bare 'L'; a .L label would be an
 * ordinary symbol that splits the routine in two for the linker and the
 * unwinder. */
#define LOCAL_LABEL(name) QM_GLUE2(L, name)
#define RODATA_SECTION .section __TEXT,__const
#define SYMBOL_IS_FUNC(name)
#define SYMBOL_SIZE(name)
#define HIDDEN(name) .private_extern name
#define PAGE(sym) sym@PAGE
#define PAGE_OFFSET(sym) sym@PAGEOFF
#else
#error "the RAW kernels are built for ELF or Mach-O objects only"
#endif

#if defined(__x86_64__)
/* Indirect-branch tracking: a landing pad only when the build asks for CET. */
#if defined(__CET__) && (__CET__ & 1)
#define FUNCTION_LANDING_PAD endbr64
#else
#define FUNCTION_LANDING_PAD
#endif
#else
/* Branch target identification: a landing pad only when the build asks for
 * it (-mbranch-protection=bti or standard). */
#if defined(__ARM_FEATURE_BTI_DEFAULT) && __ARM_FEATURE_BTI_DEFAULT
#define FUNCTION_LANDING_PAD bti c
#else
#define FUNCTION_LANDING_PAD
#endif
#endif

#define DEFINE_FUNCTION(name)              \
    .text SEPARATOR                        \
    .p2align 4 SEPARATOR                   \
    .globl SYMBOL_NAME(name) SEPARATOR     \
    HIDDEN(SYMBOL_NAME(name)) SEPARATOR    \
    SYMBOL_IS_FUNC(SYMBOL_NAME(name)) SEPARATOR \
    SYMBOL_NAME(name): SEPARATOR           \
    .cfi_startproc SEPARATOR               \
    FUNCTION_LANDING_PAD

#define END_FUNCTION(name)                 \
    .cfi_endproc SEPARATOR                 \
    SYMBOL_SIZE(SYMBOL_NAME(name))

#if defined(__x86_64__)
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
#else
/* Two registers saved below the stack pointer, which stays 16-byte aligned,
 * and restored; the unwind table follows both, as on x86-64. */
#define PUSH_PAIR(a, b)                    \
    stp a, b, [sp, #-16]! SEPARATOR        \
    .cfi_adjust_cfa_offset 16 SEPARATOR    \
    .cfi_rel_offset a, 0 SEPARATOR         \
    .cfi_rel_offset b, 8

#define POP_PAIR(a, b)                     \
    ldp a, b, [sp], #16 SEPARATOR          \
    .cfi_adjust_cfa_offset -16 SEPARATOR   \
    .cfi_restore a SEPARATOR               \
    .cfi_restore b

/* Return-address signing: a routine that saves x30 (it calls another)
 * signs it first and checks it before returning, when the build asks for
 * it. hint #25 and #29 are paciasp and autiasp, which every assembler
 * takes whatever architecture level it targets, and which run as no-ops on
 * processors without pointer authentication. */
#if defined(__ARM_FEATURE_PAC_DEFAULT) && (__ARM_FEATURE_PAC_DEFAULT & 1)
#define SIGN_LR hint #25 SEPARATOR .cfi_negate_ra_state
#define AUTH_LR hint #29 SEPARATOR .cfi_negate_ra_state
#define QM_AARCH64_PAC 2
#else
#define SIGN_LR
#define AUTH_LR
#define QM_AARCH64_PAC 0
#endif
#if defined(__ARM_FEATURE_BTI_DEFAULT) && __ARM_FEATURE_BTI_DEFAULT
#define QM_AARCH64_BTI 1
#else
#define QM_AARCH64_BTI 0
#endif

#define LOAD_ADDRESS(reg, sym)             \
    adrp reg, PAGE(sym) SEPARATOR          \
    add reg, reg, PAGE_OFFSET(sym)
#endif

#if defined(__ELF__)
/* Without the stack note the linker would make the whole program's stack
 * executable. */
#define QM_NO_EXEC_STACK_NOTE .section .note.GNU-stack, "", %progbits
#else
#define QM_NO_EXEC_STACK_NOTE
#endif

/* The linker keeps a CET (x86-64) or BTI/PAC (AArch64) feature in the
 * program only when every object declares it, so such a build must say that
 * these kernels are ready. One NT_GNU_PROPERTY_TYPE_0 note holding the
 * architecture's FEATURE_1_AND property, laid out for a 64-bit object
 * (8-byte aligned descriptor). */
#define QM_GNU_PROPERTY(type, bits)                                 \
    .pushsection .note.gnu.property, "a" SEPARATOR                  \
    .p2align 3 SEPARATOR                                            \
    .long 4 SEPARATOR              /* name size: "GNU\0" */         \
    .long 16 SEPARATOR             /* descriptor size */            \
    .long 5 SEPARATOR              /* NT_GNU_PROPERTY_TYPE_0 */     \
    .asciz "GNU" SEPARATOR                                          \
    .long type SEPARATOR                                            \
    .long 4 SEPARATOR              /* property data size */         \
    .long bits SEPARATOR                                            \
    .p2align 3 SEPARATOR                                            \
    .popsection

#if defined(__ELF__) && defined(__x86_64__) && defined(__CET__)
/* The kernels start with endbr64 (IBT) and return only through ret (shadow
 * stack). 0xc0000002: GNU_PROPERTY_X86_FEATURE_1_AND. */
#define QM_GNU_PROPERTY_NOTE QM_GNU_PROPERTY(0xc0000002, (__CET__ & 3))
#elif defined(__ELF__) && defined(__aarch64__) && (QM_AARCH64_BTI || QM_AARCH64_PAC)
/* 0xc0000000: GNU_PROPERTY_AARCH64_FEATURE_1_AND; bit 0 BTI, bit 1 PAC. */
#define QM_GNU_PROPERTY_NOTE QM_GNU_PROPERTY(0xc0000000, (QM_AARCH64_BTI | QM_AARCH64_PAC))
#else
#define QM_GNU_PROPERTY_NOTE
#endif

#define OBJECT_NOTES QM_NO_EXEC_STACK_NOTE SEPARATOR QM_GNU_PROPERTY_NOTE

#endif /* QUILLMOTH_ASM_MACROS_H */

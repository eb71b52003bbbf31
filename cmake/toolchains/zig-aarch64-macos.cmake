# macOS on arm64 (Apple Silicon), compiled and linked by Zig on Linux:
#   npm ci --prefix tools/zig
#   cmake -S . -B build-macos-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/zig-aarch64-macos.cmake
set(QM_ZIG_TARGET aarch64-macos)
set(QM_ZIG_PROCESSOR arm64)
include(${CMAKE_CURRENT_LIST_DIR}/zig-macos.cmake)

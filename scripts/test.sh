#!/usr/bin/env bash
# Builds and runs every test: GCC and Clang builds with all tests, the unit
# tests again under AddressSanitizer + UndefinedBehaviorSanitizer, the
# dispatch tests under ThreadSanitizer, and every hand-written kernel
# assembled for macOS so Mach-O mistakes show up here.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${JOBS:-$(nproc)}"

configure_build() {  # dir, build target ("all" for everything), then cmake arguments
    local dir="$1" target="$2"; shift 2
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j"$jobs" --target "$target"
}

echo "== macOS (Mach-O) assembly of the RAW kernels"
for f in src/workloads/raw/*.S; do
    clang -target x86_64-apple-macos11 -I src/workloads/raw -c "$f" -o /dev/null
done

echo "== GCC build and tests"
CC=gcc CXX=g++ configure_build build-gcc all -DCMAKE_BUILD_TYPE=Release
(cd build-gcc && ctest --output-on-failure -j"$jobs")

echo "== Clang build and tests"
CC=clang CXX=clang++ configure_build build-clang all -DCMAKE_BUILD_TYPE=Release
(cd build-clang && ctest --output-on-failure -j"$jobs")

echo "== unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
CC=gcc CXX=g++ configure_build build-asan all -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLMOTH_SANITIZE=address,undefined -DQUILLMOTH_BENCH=OFF
(cd build-asan && ctest --output-on-failure -j"$jobs" -E FullRun)

echo "== dispatch tests under ThreadSanitizer"
CC=gcc CXX=g++ configure_build build-tsan engine_test_dispatch -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLMOTH_SANITIZE=thread -DQUILLMOTH_BENCH=OFF
(cd build-tsan && ctest --output-on-failure -j"$jobs" -R '^Dispatch\.')

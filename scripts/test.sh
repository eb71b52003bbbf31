#!/usr/bin/env bash
# Builds and runs every test, installing the Debian packages it needs first
# (as root; otherwise it names them and stops):
#   - every hand-written kernel assembled for macOS, so Mach-O mistakes show here;
#   - GCC Release: everything, with every test but the results service's unit
#     tests (run in the sanitized build), the Debian packages and the service
#     in headless Chromium;
#   - Clang Release: the kernels, the dispatch and the program, with their tests;
#   - one whole benchmark run per compiler, in the background while the other
#     stages go on (about 100 s each, held to a quarter of one processor);
#   - Clang with AddressSanitizer + UndefinedBehaviorSanitizer: every unit
#     test, the results service's against SQLite and a throwaway PostgreSQL
#     cluster included, and every fuzz target for a few
#     seconds from its seed corpus; the dispatch tests under ThreadSanitizer;
#   - arm64 Linux, cross-built with Debian's cross compiler from CMake's plain
#     cross variables: the program and every unit test run under qemu-user,
#     with a whole run of its own (qemu's figures mean nothing, its checksums do);
#   - macOS on x86-64 and arm64, compiled and linked by Zig (tools/zig),
#     warning-free; the programs cannot run here, so their imports and their
#     RAW routines are checked instead.
# The cross builds go in a lane of their own beside the others.
# JOBS sets the test parallelism and, halved, each lane's build parallelism
# (default: the processor count),
# QUILLMOTH_FUZZ_SECONDS how long each fuzz target runs (default 1: the seed
# corpus and a second of mutations, as a check on every run; fuzz longer by hand).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
jobs="${JOBS:-$(nproc)}"
# The two lanes (below) build side by side, so each build takes half the
# processors. With each at the full count, four compilers shared two
# processors and the command used about a fifth more CPU time (638 and 696
# CPU-seconds in two runs, against 538 and 556 now) and took 341 and 378 s,
# against 292 and 304 s.
build_jobs=$(((jobs + 1) / 2))
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

stage_times=()
# stage NAME COMMAND...: runs one stage and notes how long it took.
stage() {
    local name="$1" start=$SECONDS
    shift
    echo "== $name"
    "$@"
    stage_times+=("$(printf '%5ds  %s' $((SECONDS - start)) "$name")")
}

configure_build() {  # dir, build target ("all" for everything), then cmake arguments
    local dir="$1" target="$2"
    shift 2
    cmake -S . -B "$dir" "${generator[@]}" "$@" >/dev/null
    cmake --build "$dir" -j"$build_jobs" --target "$target"
}

# Every ctest run of a build with the results service goes through here: each
# gets a throwaway PostgreSQL cluster of its own (QM_TEST_PG_URI), removed
# afterwards whatever the outcome.
run_ctest() {  # dir, then ctest arguments
    local dir="$1" cluster="$PWD/scripts/pg_cluster.sh"
    shift
    if [[ -x "$dir/tests/server_tests" ]]; then
        (cd "$dir" && "$cluster" run ctest --output-on-failure "$@")
    else
        (cd "$dir" && ctest --output-on-failure "$@")
    fi
}

# The whole-run tests, in the background: their logs are shown when they end.
background_pids=()
background_names=()
lane_pid=""
# A stage that fails ends the command: the background stages go too, with
# everything they started (builds, tests, servers).
process_tree() {  # pid: it and its descendants
    local child
    for child in $(pgrep -P "$1" 2>/dev/null); do process_tree "$child"; done
    echo "$1"
}
trap 'for pid in "${background_pids[@]}" $lane_pid $cross_pid; do kill $(process_tree "$pid") 2>/dev/null || true; done' EXIT
# Each is held to a quarter of one processor (scripts/cpu_slice.sh says why):
# beside two busy loops a whole run then took 100 s and 25 CPU-seconds,
# against 423 s at the lowest priority and 119 CPU-seconds on its own.
start_full_run() {  # build dir, then the percentage of one processor (default 25)
    local slice="$PWD/scripts/cpu_slice.sh"
    (cd "$1" && "$slice" "${2:-25}" ctest --output-on-failure -R FullRun) \
        >"$1/full-run.log" 2>&1 &
    background_pids+=($!)
    background_names+=("$1")
}
wait_full_runs() {
    local i failed=0
    for i in "${!background_pids[@]}"; do
        if wait "${background_pids[$i]}"; then
            tail -n 3 "${background_names[$i]}/full-run.log"
        else
            cat "${background_names[$i]}/full-run.log"
            echo "whole-run test failed in ${background_names[$i]}"
            failed=1
        fi
    done
    background_pids=()
    return $failed
}

macho_assembly() {
    local f
    for f in src/workloads/raw/x86_64/*.S; do
        clang -target x86_64-apple-macos11 -I src/workloads/raw -c "$f" -o /dev/null
    done
}

# lld links the many test programs several times faster than the default
# linker; the programs are the same either way.
linker=()
command -v ld.lld >/dev/null 2>&1 && linker=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld)

# A Release build first makes what its whole run needs and starts the run,
# so that the run goes on while everything else builds and tests.
whole_run_first() {  # dir, then cmake arguments
    local dir="$1"
    shift
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQUILLMOTH_TESTS=ON "${linker[@]}" "$@" >/dev/null
    cmake --build "$dir" -j"$build_jobs" --target quillmoth_loopback driver_tests
    start_full_run "$dir"
}
whole_runs_first() {
    # GCC builds everything: the program, the results service, tests,
    # benchmarks; the service's unit tests only in the sanitized build, where
    # they run with more checks for the same faults (here they cost about 60
    # processor-seconds). Its browser test, package and systemd
    # unit are checked here, against this build's server.
    CC=gcc CXX=g++ whole_run_first build-gcc -DQUILLMOTH_SERVER_TESTS=OFF
    # Clang's Release build is for what the compiler's optimiser can change:
    # the kernels, their checksums, the dispatch and the program around them.
    # The rest (the machine readers, the upload, the results service) is
    # compiled and tested by Clang in the sanitized build below.
    CC=clang CXX=clang++ whole_run_first build-clang -DQUILLMOTH_SERVER=OFF -DQUILLMOTH_BENCH=OFF
}
clang_targets=(workloads_tests engine_tests)
clang_labels='workloads|engine|driver'

# Sanitized builds use Clang at -O1 with line tables only: GCC took four to
# five times as long to compile the server's tests with ASan at -O2 -g, and
# line tables are all a sanitizer report needs. No NDEBUG, so asserts run.
sanitized_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMOTH_TESTS=ON -DQUILLMOTH_BENCH=OFF
                 "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only"
                 "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" "${linker[@]}")

# Every unit test under ASan + UBSan, and in the same build every fuzz target
# for a bounded time from its seed corpus.
fuzz_seconds="${QUILLMOTH_FUZZ_SECONDS:-1}"
asan_tests() {
    CC=clang CXX=clang++ configure_build build-asan all "${sanitized_flags[@]}" \
        -DQUILLMOTH_SANITIZE=address,undefined -DQUILLMOTH_FUZZ=ON -DQUILLMOTH_FUZZ_SECONDS="$fuzz_seconds"
    # The browser test checks what a browser shows, not memory safety: the page
    # code it drives is run here by the C++ page tests. The longest value
    # checks of the workloads (determinism over thread counts, whole-ring
    # walks, every test's checksums) run in the three other builds; their code
    # runs here under the other workload tests. Twice as many tests at once as
    # processors: the results service's tests spend most of their time waiting
    # on servers they start and kill, and the others use that time.
    run_ctest build-asan -j"$((jobs * 2))" \
        -E 'FullRun|Package|ServerBrowser|SameBytesForEveryThreadCount|PointerChaseAgainstTheRingWalk|WorkloadChecksumsOnEveryArchitecture'
}

tsan_tests() {
    CC=clang CXX=clang++ configure_build build-tsan engine_tests "${sanitized_flags[@]}" \
        -DQUILLMOTH_SANITIZE=thread
    run_ctest build-tsan -j"$jobs" -R '^Dispatch\.'
}

# The sanitized lane runs beside the other: the tests of one leave the
# processors idle while they wait on servers, the database and the browser,
# and the builds of the other fill that time. Its output goes to a log that is
# shown when it ends.
sanitized_lane() {
    stage_times=()
    stage "Clang with AddressSanitizer + UndefinedBehaviorSanitizer: unit tests, fuzz targets $fuzz_seconds s each" asan_tests
    printf '%s\n' "${stage_times[@]}" >build-asan/lane-times
}
wait_sanitized_lane() {
    local status=0
    wait "$lane_pid" || status=$?
    lane_pid=""
    cat build-asan/lane.log
    ((status == 0)) || echo "the sanitized lane failed"
    return $status
}

# --- Cross builds: arm64 Linux under qemu-user, macOS by Zig ---

arm64_flags=(-DCMAKE_BUILD_TYPE=Release -DQUILLMOTH_TESTS=ON -DQUILLMOTH_BENCH=OFF -DQUILLMOTH_SERVER=OFF)
# The plain cross variables, not the toolchain file (which the next stage
# configures), so that both ways stay working.
arm64_cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
             -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
             -DCMAKE_ASM_COMPILER=aarch64-linux-gnu-gcc
             "-DCMAKE_CROSSCOMPILING_EMULATOR=$(command -v qemu-aarch64-static);-L;/usr/aarch64-linux-gnu")
arm64_whole_run_first() {
    cmake -S . -B build-arm64 "${generator[@]}" "${arm64_flags[@]}" "${arm64_cross[@]}" >/dev/null
    cmake --build build-arm64 -j"$build_jobs" --target quillmoth_loopback driver_tests
    # Under qemu one iteration of the heavier tests takes a good part of a
    # second of processor time; with half a processor the run took about 100 s.
    start_full_run build-arm64 50
}
# A build for another architecture stops at configure, saying what is supported.
unsupported_architecture() {
    local out
    if out=$(cmake -S . -B build-arm64/riscv64 -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=riscv64 2>&1); then
        echo "configure accepted riscv64"
        return 1
    fi
    grep -q "builds for x86-64 and arm64 (AArch64) only, not 'riscv64'" <<<"$out" || { echo "$out"; return 1; }
}
arm64_tests() {
    unsupported_architecture
    cmake -S . -B build-arm64-toolchain "${generator[@]}" "${arm64_flags[@]}" \
        -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake >/dev/null
    grep -q '^QM_QEMU_AARCH64:FILEPATH=/' build-arm64-toolchain/CMakeCache.txt
    cmake --build build-arm64 -j"$build_jobs"
    # The prepared data's independence of the thread count is portable code,
    # tested natively; under qemu, whose threads keep the host's memory
    # order, it would only repeat that at twenty times the cost.
    (cd build-arm64 && ctest --output-on-failure -j"$jobs" -E 'FullRun|SameBytesForEveryThreadCount')
}

# macos_build TARGET (x86_64 or aarch64): configures, builds and checks one macOS build.
# These programs are only compiled and linked, never run, so they are built
# unoptimised: Clang's warnings come from its front end and are the same at
# any level, and Zig's first build of its C++ library for a target took 284
# CPU-seconds for Release against 148 unoptimised, our sources included.
macos_build() {
    local target="$1" dir="build-macos-$1" log program routine failed=0
    cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/zig-$target-macos.cmake" \
        -DCMAKE_BUILD_TYPE=None -DCMAKE_C_FLAGS=-O0 -DCMAKE_CXX_FLAGS=-O0 \
        -DQUILLMOTH_TESTS=ON -DQUILLMOTH_BENCH=OFF -DQUILLMOTH_SERVER=OFF >/dev/null
    log="$dir/build.log"
    cmake --build "$dir" -j"$build_jobs" >"$log" 2>&1 || { cat "$log"; return 1; }
    # Warning-free, GoogleTest's sources aside.
    if grep -v '^\[' "$log" | grep -i 'warning' | grep -v '/usr/src/googletest/'; then
        echo "the macOS $target build warned"
        return 1
    fi
    local arch=$target
    [[ $target == aarch64 ]] && arch=arm64
    for program in "$dir/quillmoth" "$dir"/tests/*_tests; do
        # A Mach-O executable for the target, importing only the system library
        # (Zig links the C++ library into the program).
        file -b "$program" | grep -q "^Mach-O 64-bit $arch executable" ||
            { echo "$program: $(file -b "$program")"; failed=1; }
        local dylibs
        dylibs=$(llvm-objdump-14 --macho --dylibs-used "$program" | tail -n +2 | awk '{print $1}')
        [[ "$dylibs" == /usr/lib/libSystem.B.dylib ]] || { echo "$program imports: $dylibs"; failed=1; }
    done
    # Every RAW routine is in the program.
    for routine in src/workloads/raw/"$target"/*.S; do
        routine=$(basename "$routine" .S)
        llvm-nm-14 --defined-only "$dir/quillmoth" | grep -q " T _$routine\$" ||
            { echo "$dir/quillmoth lacks _$routine"; failed=1; }
    done
    return $failed
}

cross_lane() {
    stage_times=()
    stage "arm64 Linux: program for the whole run (the run starts, under qemu)" arm64_whole_run_first
    stage "arm64 Linux: build, and every unit test under qemu" arm64_tests
    stage "macOS x86-64 (Zig): build and check" macos_build x86_64
    stage "macOS arm64 (Zig): build and check" macos_build aarch64
    stage "arm64 whole run (under qemu)" wait_full_runs
    printf '%s\n' "${stage_times[@]}" >build-arm64/lane-times
}
wait_cross_lane() {
    local status=0
    wait "$cross_pid" || status=$?
    cross_pid=""
    cat build-arm64/lane.log
    ((status == 0)) || echo "the cross lane failed"
    return $status
}
cross_pid=""

stage "packages" qm_install_packages
stage "macOS (Mach-O) assembly of the RAW kernels" macho_assembly
stage "browser test packages (npm ci)" npm ci --prefix tests/server/browser --no-audit --no-fund
stage "Zig for the macOS builds (npm ci)" npm ci --prefix tools/zig --no-audit --no-fund
mkdir -p build-asan build-arm64
sanitized_lane >build-asan/lane.log 2>&1 &
lane_pid=$!
cross_lane >build-arm64/lane.log 2>&1 &
cross_pid=$!
stage "programs for the whole runs, GCC and Clang (the runs start)" whole_runs_first
stage "GCC build" cmake --build build-gcc -j"$build_jobs"
stage "Clang build" cmake --build build-clang -j"$build_jobs" --target "${clang_targets[@]}"
stage "GCC tests" run_ctest build-gcc -j"$jobs" -E FullRun
stage "Clang tests" run_ctest build-clang -j"$jobs" -L "$clang_labels" -E FullRun
stage "Clang with ThreadSanitizer: dispatch tests" tsan_tests
stage "sanitized lane (alongside)" wait_sanitized_lane
stage "whole runs (GCC and Clang)" wait_full_runs
stage "cross lane (alongside)" wait_cross_lane
# The arm64 run's counts are its own, so its checksums are compared with this
# machine's kernels at the same counts rather than with the x86-64 runs'.
replay_arm64_run() {
    QM_REPLAY_SUMMARY="$PWD/build-arm64/tests/full-run-summary" \
        build-gcc/tests/driver_tests --gtest_filter=FullRun.AnotherBuildsChecksumsAreThisBuilds --gtest_brief=1
}
stage "arm64 whole run's checksums against the x86-64 kernels'" replay_arm64_run

echo "== stage times (the sanitized and cross lanes ran alongside from the start; the whole runs from their builds on)"
cat build-asan/lane-times build-arm64/lane-times
printf '%s\n' "${stage_times[@]}"
echo "total: ${SECONDS}s"

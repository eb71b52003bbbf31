#!/usr/bin/env bash
# The Debian packages that building and testing everything needs, in one
# place. scripts/test.sh sources this file; run on its own, it installs them.
qm_packages=(
    cmake make ninja-build g++ clang lld python3  # toolchain (python3: the loopback results server)
    procps                                        # pgrep, to stop what the test command started
    libclang-rt-14-dev                            # Clang's libFuzzer and sanitizer runtimes
    libgtest-dev libgmock-dev libbenchmark-dev    # test and micro-benchmark frameworks
    dpkg-dev file                                 # cpack -G DEB and its dependency scan
    g++-aarch64-linux-gnu qemu-user-static        # the arm64 Linux build, and running its tests
    googletest                                    # GoogleTest's sources, built for cross targets
    llvm-14                                       # llvm-nm-14, llvm-objdump-14: the macOS programs' checks
    # the results service and its tests
    libmicrohttpd-dev nlohmann-json3-dev libsqlite3-dev sqlite3 libssl-dev libpq-dev postgresql chromium
    libcpp-httplib-dev                            # the HTTP client of the service tests and benchmarks
    nginx-light systemd                           # the service behind a real proxy; its unit checked
    pkg-config zlib1g-dev libbrotli-dev           # how cpp-httplib was built
)
# The browser test's Node and npm; a Node from elsewhere brings its own npm.
command -v node >/dev/null 2>&1 || qm_packages+=(nodejs)
command -v npm >/dev/null 2>&1 || qm_packages+=(npm)

# Prints the packages that are not installed, one per line.
qm_missing_packages() {
    local p
    for p in "${qm_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}

# Installs what is missing when run as root; otherwise names it and fails.
qm_install_packages() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "cannot check the packages without dpkg-query; on Debian they are: ${qm_packages[*]}" >&2
        return 1
    fi
    local missing
    mapfile -t missing < <(qm_missing_packages)
    ((${#missing[@]} == 0)) && return 0
    if [[ $(id -u) != 0 ]]; then
        echo "missing Debian packages: ${missing[*]}" >&2
        echo "install them as root (sudo apt-get install ${missing[*]}) or run this as root" >&2
        return 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
    set -euo pipefail
    qm_install_packages
fi

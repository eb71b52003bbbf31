#!/usr/bin/env bash
# Builds the Debian package of a build tree into a scratch folder and checks
# it without installing it: its metadata, its file list, and that the binary
# it holds runs (through the emulator, if given, for a cross build).
#   check_deb.sh CPACK BUILD_DIR SOURCE_DIR VERSION ARCHITECTURE [EMULATOR...]
set -euo pipefail
cpack="$1" build="$2" source="$3" version="$4" arch="$5"
shift 5
emulator=("$@")
work="$(mktemp -d /tmp/qm_deb_XXXXXX)"
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack could not build the package"
    exit 1
fi
deb="$work/out/quillmoth_${version}-1_${arch}.deb"
if [[ ! -f "$deb" ]]; then
    ls -l "$work/out"
    echo "FAIL: no $(basename "$deb")"
    exit 1
fi

info="$(dpkg-deb -f "$deb")"
echo "$info"
field() { dpkg-deb -f "$deb" "$1"; }
[[ "$(field Package)" == quillmoth ]] || fail "Package is '$(field Package)'"
[[ "$(field Version)" == "${version}-1" ]] || fail "Version is '$(field Version)'"
[[ "$(field Architecture)" == "$arch" ]] || fail "Architecture is '$(field Architecture)'"
[[ "$(field Section)" == utils ]] || fail "Section is '$(field Section)'"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer is '$(field Maintainer)'"
[[ "$(field Description)" == "multi-core CPU benchmark"* ]] || fail "Description starts '$(field Description | head -1)'"
# The C library always, the C++ one when the binary links it (it need not).
deps=(libc6)
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/bin/quillmoth >"$work/quillmoth"
readelf -d "$work/quillmoth" | grep -q 'NEEDED.*\[libstdc++\.so' && deps+=(libstdc++6)
for dep in "${deps[@]}"; do
    [[ ", $(field Depends)," == *", $dep ("* ]] || fail "Depends lacks a versioned $dep: '$(field Depends)'"
done

# Regular files only, as "mode owner path"; folders come and go with them.
files="$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort)"
echo "$files"
expected="-rw-r--r-- root/root ./usr/share/doc/quillmoth/LICENSE
-rw-r--r-- root/root ./usr/share/doc/quillmoth/README.md
-rwxr-xr-x root/root ./usr/bin/quillmoth"
[[ "$files" == "$(sort <<<"$expected")" ]] || fail "unexpected file list"

dpkg-deb -x "$deb" "$work/root"
cmp -s "$work/root/usr/share/doc/quillmoth/LICENSE" "$source/LICENSE" || fail "LICENSE differs from the source's"
program="$work/root/usr/bin/quillmoth"
usage="usage: $program [-v|--verbose] [--upload|--noupload] [--no-system-check]"
out="$("${emulator[@]}" "$program" --help 2>&1)" || fail "--help ended with status $?"
[[ "$out" == "$usage" ]] || fail "--help printed '$out'"

# The results service, when built, is a package of its own that runs too.
server_deb="$work/out/quillmoth-server_${version}-1_${arch}.deb"
if [[ -f "$build/quillmoth-server" ]]; then
    if [[ -f "$server_deb" ]]; then
        [[ "$(dpkg-deb -f "$server_deb" Package)" == quillmoth-server ]] || fail "server package is misnamed"
        dpkg-deb -x "$server_deb" "$work/server"
        "$work/server/usr/bin/quillmoth-server" --help >/dev/null 2>&1 || fail "quillmoth-server --help failed"
        for f in lib/systemd/system/quillmoth-server.service share/doc/quillmoth-server/nginx-proxy.conf; do
            cmp -s "$work/server/usr/$f" "$source/src/server/deploy/$(basename "$f")" || fail "the server package's /usr/$f"
        done
    else
        fail "no $(basename "$server_deb")"
    fi
fi

[[ $status == 0 ]] && echo "package OK: $(basename "$deb")"
exit $status

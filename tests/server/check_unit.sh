#!/usr/bin/env bash
# Checks the systemd unit that the quillmoth-server package installs: it
# names the program the build made, systemd-analyze verify has nothing to
# say about it, and it keeps the confinement the README promises.
#   check_unit.sh UNIT BINARY
set -euo pipefail
unit="$1" binary="$2"
work="$(mktemp -d /tmp/qm_unit_XXXXXX)"
trap 'rm -rf "$work"' EXIT
status=0
grep -q '^ExecStart=/usr/bin/quillmoth-server ' "$unit" || { echo "FAIL: ExecStart does not run /usr/bin/quillmoth-server"; status=1; }
sed "s|/usr/bin/quillmoth-server|$binary|" "$unit" >"$work/quillmoth-server.service"
# Any word from verify is a fault: unknown keys only warn.
if ! out="$(systemd-analyze verify "$work/quillmoth-server.service" 2>&1)" || [[ -n "$out" ]]; then
    echo "$out"
    echo "FAIL: systemd-analyze verify"
    status=1
fi
for line in DynamicUser=yes StateDirectory=quillmoth-server ProtectSystem=strict NoNewPrivileges=yes \
    CapabilityBoundingSet= AmbientCapabilities=; do
    grep -qx "$line" "$unit" || { echo "FAIL: the unit lacks $line"; status=1; }
done
exit $status

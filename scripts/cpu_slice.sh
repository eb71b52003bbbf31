#!/usr/bin/env bash
# cpu_slice.sh PERCENT COMMAND...: runs COMMAND held to PERCENT of one
# processor, through a CPU-controller cgroup of its own (v2 or v1, as root),
# and removes the cgroup afterwards. Where no cgroup can be made it runs
# COMMAND at the lowest priority instead, and says so.
#
# The test command runs the whole benchmark this way beside its builds and
# tests. Every pass calibrates to its time, so a run held to a steady slice
# does less work in about the same time and leaves the rest of the machine
# alone. A low priority alone is not steady: a pass that calibrates while the
# machine is idle and measures while it is busy gets a hundredth of a
# processor and takes minutes.
set -euo pipefail
percent="$1"
shift
period=10000
quota=$((period * percent / 100))
name="quillmoth-slice-$$"

make_group() {  # prints the new group's directory
    local root
    if [[ -f /sys/fs/cgroup/cgroup.controllers ]]; then
        root=/sys/fs/cgroup
        grep -qw cpu "$root/cgroup.controllers" || return 1
        grep -qw cpu "$root/cgroup.subtree_control" || echo +cpu >"$root/cgroup.subtree_control" || return 1
        mkdir "$root/$name" && echo "$quota $period" >"$root/$name/cpu.max" || return 1
    else
        root=/sys/fs/cgroup/cpu
        [[ -f $root/cpu.cfs_quota_us ]] || return 1
        mkdir "$root/$name" || return 1
        echo "$period" >"$root/$name/cpu.cfs_period_us" && echo "$quota" >"$root/$name/cpu.cfs_quota_us" || return 1
    fi
    echo "$root/$name"
}

if group=$(make_group 2>/dev/null); then
    (echo "$BASHPID" >"$group/cgroup.procs" && exec "$@") &
    child=$!
    trap 'kill "$child" 2>/dev/null || true' TERM INT
    status=0
    wait "$child" || status=$?
    wait "$child" 2>/dev/null || true  # a signal ends the first wait early
    # The group can go once its last process has.
    for _ in $(seq 50); do rmdir "$group" 2>/dev/null && break; sleep 0.1; done
    exit $status
fi
rmdir "/sys/fs/cgroup/$name" "/sys/fs/cgroup/cpu/$name" 2>/dev/null || true
echo "cpu_slice: no CPU cgroup available; running at the lowest priority instead" >&2
exec nice -n 19 "$@"

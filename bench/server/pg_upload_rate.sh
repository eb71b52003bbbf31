#!/usr/bin/env bash
# Upload rates side by side in one session, real server processes on
# loopback ports: one instance on PostgreSQL, two instances sharing that
# PostgreSQL, and one instance on SQLite. PostgreSQL is a throwaway cluster
# (scripts/pg_cluster.sh) with durable commits, as is SQLite.
#
#   bench/server/pg_upload_rate.sh BUILD_DIR [SECONDS] [CLIENTS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: pg_upload_rate.sh BUILD_DIR [SECONDS] [CLIENTS]}" && pwd)"
seconds="${2:-10}"
clients="${3:-8}"
server="$build/quillmoth-server"
load="$build/bench/server_upload_load"
golden="$root/tests/submit/golden_document.json"

if [[ -z "${QM_TEST_PG_URI:-}" ]]; then
    exec "$root/scripts/pg_cluster.sh" run "$0" "$@"
fi

work="$(mktemp -d /tmp/qm_rate.XXXXXX)"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

start_server() {  # db, name; sets port
    local out="$work/$2.out"
    "$server" --listen 127.0.0.1:0 --db "$1" --upload-limit 0 >"$out" 2>"$work/$2.err" &
    pids+=($!)
    local i
    for i in $(seq 100); do
        if grep -q "listening on http://127.0.0.1:" "$out" 2>/dev/null; then
            port="$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\).*|\1|p' "$out" | head -1)"
            return
        fi
        sleep 0.1
    done
    echo "server $2 did not start" >&2
    cat "$work/$2.err" >&2
    exit 1
}

stop_servers() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
}

# CPU ticks so far of the running servers and of their PostgreSQL backends:
# on a shared machine the rate may be set by the CPU left over, and the CPU
# each upload costs says where it goes.
server_ticks() {
    local pid t=0
    for pid in "${pids[@]}"; do t=$((t + $(awk '{print $14 + $15}' "/proc/$pid/stat"))); done
    echo "$t"
}
db_ticks() {
    local pid t=0
    for pid in $(psql -X -At "$QM_TEST_PG_URI" -c \
            "SELECT pid FROM pg_stat_activity WHERE application_name = 'quillmoth-server'"); do
        t=$((t + $(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)))
    done
    echo "$t"
}
hz="$(getconf CLK_TCK)"
measure() {  # load arguments...
    local s0 d0 s1 d1 line n
    s0="$(server_ticks)"
    d0="$(db_ticks)"
    line="$("$load" "$golden" "$@" --clients "$clients" --seconds "$seconds" || true)"
    s1="$(server_ticks)"
    d1="$(db_ticks)"
    echo "$line"
    n="$(echo "$line" | sed -n 's|.*: \([0-9]*\) uploads/s.*|\1|p')"
    if [[ -n "$n" && "$n" != 0 ]]; then
        printf "   CPU per upload: server %.2f ms, PostgreSQL backends %.2f ms (load average %s)\n" \
            "$(echo "($s1 - $s0) * 1000 / $hz / ($n * $seconds)" | bc -l)" \
            "$(echo "($d1 - $d0) * 1000 / $hz / ($n * $seconds)" | bc -l)" "$(cut -d' ' -f1 /proc/loadavg)"
    fi
}

# Each run gets a fresh schema so that all three start from the same size.
pg_schema() {
    psql -X -q "$QM_TEST_PG_URI" -c "DROP SCHEMA IF EXISTS $1 CASCADE; CREATE SCHEMA $1" >/dev/null
    echo "$QM_TEST_PG_URI&options=-c%20search_path%3D$1"
}

echo "== PostgreSQL, one instance"
start_server "$(pg_schema rate1)" pg1
p1=$port
measure --target "127.0.0.1:$p1"
stop_servers

echo "== PostgreSQL, two instances sharing one database"
db="$(pg_schema rate2)"
start_server "$db" pg2a
p1=$port
start_server "$db" pg2b
p2=$port
measure --target "127.0.0.1:$p1" --target "127.0.0.1:$p2"
stop_servers

echo "== SQLite, one instance"
start_server "$work/results.db" sqlite
p1=$port
measure --target "127.0.0.1:$p1"
stop_servers

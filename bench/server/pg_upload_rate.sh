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

# Each run gets a fresh schema so that all three start from the same size.
pg_schema() {
    psql -X -q "$QM_TEST_PG_URI" -c "DROP SCHEMA IF EXISTS $1 CASCADE; CREATE SCHEMA $1" >/dev/null
    echo "$QM_TEST_PG_URI&options=-c%20search_path%3D$1"
}

echo "== PostgreSQL, one instance"
start_server "$(pg_schema rate1)" pg1
p1=$port
"$load" "$golden" --target "127.0.0.1:$p1" --clients "$clients" --seconds "$seconds" || true
stop_servers

echo "== PostgreSQL, two instances sharing one database"
db="$(pg_schema rate2)"
start_server "$db" pg2a
p1=$port
start_server "$db" pg2b
p2=$port
"$load" "$golden" --target "127.0.0.1:$p1" --target "127.0.0.1:$p2" --clients "$clients" --seconds "$seconds" || true
stop_servers

echo "== SQLite, one instance"
start_server "$work/results.db" sqlite
p1=$port
"$load" "$golden" --target "127.0.0.1:$p1" --clients "$clients" --seconds "$seconds" || true
stop_servers

#!/usr/bin/env bash
# Time and memory of a whole export (CSV and NDJSON) through a real
# quillmoth-server: wall time of each download and the server's peak resident
# memory (VmHWM) after each, which stays flat when the export streams. Given
# several build folders, their servers take turns on the same database, so
# that a before/after comparison runs side by side.
#
#   bench/server/export_bench.sh DB.sqlite BUILD_DIR...  an existing SQLite database
#                                                         (e.g. quillmoth_bench_pages')
#   bench/server/export_bench.sh ROWS BUILD_DIR...       a throwaway PostgreSQL
#                                                         cluster filled with ROWS
#                                                         results (e.g. 100000)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
target="${1:?usage: export_bench.sh DB.sqlite|ROWS BUILD_DIR...}"
shift
builds=()
for b in "$@"; do builds+=("$(cd "$b" && pwd)"); done
[[ ${#builds[@]} -gt 0 ]] || { echo "usage: export_bench.sh DB.sqlite|ROWS BUILD_DIR..." >&2; exit 2; }

if [[ ! -f "$target" && -z "${QM_TEST_PG_URI:-}" ]]; then
    exec "$root/scripts/pg_cluster.sh" run "$0" "$target" "${builds[@]}"
fi

work="$(mktemp -d /tmp/qm_export.XXXXXX)"
server_pid=""
cleanup() {
    if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; wait 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

if [[ -f "$target" ]]; then
    db="$target"
else
    psql -X -q "$QM_TEST_PG_URI" -c "DROP SCHEMA IF EXISTS qm_export CASCADE" -c "CREATE SCHEMA qm_export" >/dev/null
    db="$QM_TEST_PG_URI&options=-c%20search_path%3Dqm_export"
fi

start_server() {  # $1: build folder; sets server_pid and port
    "$1/quillmoth-server" --listen 127.0.0.1:0 --db "$db" --upload-limit 0 >"$work/out" 2>"$work/err" &
    server_pid=$!
    for _ in $(seq 300); do
        grep -q "listening on http://127.0.0.1:" "$work/out" && break
        sleep 0.1
    done
    port="$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/out" | head -1)"
    [[ -n "$port" ]] || { cat "$work/err" >&2; exit 1; }
}
stop_server() {
    kill "$server_pid" && wait "$server_pid" || true
    server_pid=""
}

# The first server makes (or migrates) the schema.
start_server "${builds[0]}"
if [[ ! -f "$target" ]]; then
    echo "== filling $target results, 44 figures each"
    psql -X -q "$db" -v doc="$(cat "$root/tests/submit/golden_document.json")" -v rows="$target" <<'SQL'
INSERT INTO qm_results (id, uploaded_at, cpu, model, operating_system, compiler, architecture, cores, threads,
                        label, listed, flags, processor_key, claim_hash, content_hash, document, score_raw_multi,
                        score_raw_single, score_real_multi, score_real_single, score_multi, score_single)
SELECT 'bench' || g, 1700000000 + g,
       (ARRAY['Intel(R) Core(TM) i7-', 'AMD Ryzen 9 ', 'Intel(R) Xeon(R) Gold ', 'Apple M', 'AMD EPYC '])[1 + g % 5]
           || (g % 977) || ' CPU @ 3.00GHz',
       'Model ' || g % 100, 'Linux 6.1', 'GCC 12', 'x86-64', 4 + g % 60, 8 + g % 120, '', true, 0, 'x86-64:cpu ' || g % 977,
       sha256(('claim' || g)::bytea), sha256(('content' || g)::bytea), convert_to(:'doc', 'UTF8'),
       1000 * random(), 1000 * random(), 1000 * random(), 1000 * random(), 1000 * random(), 1000 * random()
FROM generate_series(1, :rows) g;
INSERT INTO qm_figures (seq, suite, pass, test, value)
SELECT r.seq, s, p, t, 100000 * random() FROM qm_results r, unnest(ARRAY['raw', 'real']) s,
       unnest(ARRAY['multi', 'single']) p,
       unnest(ARRAY['native_integer', 'wide_integer', 'floating_point', 'primes', 'extended_instructions',
                    'compression', 'encryption', 'physics', 'sorting', 'memory_latency', 'memory_bandwidth']) t;
VACUUM ANALYZE;
SQL
fi

stop_server
hwm() { awk '/VmHWM/ {print $2 " kB"}' "/proc/$server_pid/status"; }
for build in "${builds[@]}"; do
    start_server "$build"
    echo "== $build/quillmoth-server (peak memory at start: $(hwm))"
    for kind in csv ndjson; do
        start=$(date +%s.%N)
        bytes=$(curl -sS --fail "http://127.0.0.1:$port/api/v1/export.$kind" | wc -c)
        end=$(date +%s.%N)
        printf 'export.%-6s %6.2f s  %d bytes  server peak memory after: %s\n' "$kind" "$(echo "$end - $start" | bc)" \
            "$bytes" "$(hwm)"
    done
    stop_server
done

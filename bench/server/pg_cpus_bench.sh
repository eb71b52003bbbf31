#!/usr/bin/env bash
# The per-processor pages and API on PostgreSQL with 100,000 stored results
# (10,000 of them on one processor), through real quillmoth-server
# processes: for each build given, a server on a schema of its own, filled
# alike; then, round by round alternating between the builds, the median
# wall time of each request kept (asked again unchanged), first after an
# upload to that processor (the upload not timed) and, for a build that keeps
# statistics, first after an upload once they took it in (the wait untimed). Builds side by side in
# one cluster, so that their figures compare.
#
#   bench/server/pg_cpus_bench.sh BUILD_DIR... [-- REQUESTS ROUNDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"

if [[ -z "${QM_TEST_PG_URI:-}" ]]; then
    exec "$root/scripts/pg_cluster.sh" run "$0" "$@"
fi

builds=()
while [[ $# -gt 0 && "$1" != "--" ]]; do builds+=("$(cd "$1" && pwd)"); shift; done
[[ $# -gt 0 ]] && shift
requests="${1:-9}"
rounds="${2:-3}"
[[ ${#builds[@]} -gt 0 ]] || { echo "usage: pg_cpus_bench.sh BUILD_DIR... [-- REQUESTS ROUNDS]" >&2; exit 1; }

work="$(mktemp -d /tmp/qm_cpus.XXXXXX)"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

golden="$(cat "$root/tests/submit/golden_document.json")"
with_cpu() { printf '%s' "${golden/\"cpu\":\"Sample CPU @ 3.00GHz\"/\"cpu\":\"$1\"}"; }
names=("Intel(R) Xeon(R) Gold 6338 CPU @ 2.00GHz" "AMD Ryzen 9 7950X 16-Core Processor"
       "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz" "AMD EPYC 7763 64-Core Processor"
       "Intel(R) Core(TM) i5-1135G7 @ 2.40GHz" "AMD Ryzen 5 5600X 6-Core Processor")
with_cpu "${names[3]}" >"$work/shared.json"
key="x86-64:amd%20epyc%207763%2064-core%20processor"

ports=()
for i in "${!builds[@]}"; do
    schema="qm_cpus_bench$i"
    psql -X -q "$QM_TEST_PG_URI" -c "DROP SCHEMA IF EXISTS $schema CASCADE" -c "CREATE SCHEMA $schema" >/dev/null
    db="$QM_TEST_PG_URI&options=-c%20search_path%3D$schema"
    "${builds[$i]}/quillmoth-server" --listen 127.0.0.1:0 --db "$db" --upload-limit 0 >"$work/out$i" 2>"$work/err$i" &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q "listening on http://127.0.0.1:" "$work/out$i" && break
        sleep 0.1
    done
    port="$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/out$i" | head -1)"
    [[ -n "$port" ]] || { cat "$work/err$i" >&2; exit 1; }
    ports+=("$port")
    # Six results through the server, one per CPU name; the rest are copies
    # made by the database, as in bench_pages.cc: every tenth on the shared
    # processor, the others over a few thousand, scores spread 0.5 to 1.5x.
    for n in "${names[@]}"; do
        with_cpu "$n" | curl -s -o /dev/null -H 'Content-Type: application/json' --data-binary @- \
            "http://127.0.0.1:$port/api/v1/submissions"
    done
    echo "== ${builds[$i]}: filling 100,000 results"
    psql -X -q "$db" -f "$root/bench/server/pg_fill_100k.sql"
    # A server that keeps statistics has them all computed before timing.
    if [[ "$(psql -X -At "$db" -c "SELECT to_regclass('qm_stale_marks') IS NOT NULL")" == t ]]; then
        while [[ "$(psql -X -At "$db" -c "SELECT count(*) FROM qm_stale_marks")" != 0 ]]; do sleep 1; done
    fi
done

median() { sort -n | awk '{a[NR] = $1} END {printf "%.1f", a[int((NR + 1) / 2)] * 1000}'; }
time_get() { curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$1$2"; }

echo "== $requests requests per figure, $rounds rounds; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-6s %-3s %-36s %12s %12s %12s\n" round bld request "kept ms" "after upload" "refreshed"
for round in $(seq "$rounds"); do
    for i in "${!builds[@]}"; do
        port="${ports[$i]}"
        for path in "/cpus" "/cpus/$key" "/api/v1/cpus/$key"; do
            time_get "$port" "$path" >/dev/null
            kept="$(for _ in $(seq "$requests"); do time_get "$port" "$path"; done | median)"
            cold="$(for _ in $(seq "$requests"); do
                curl -s -o /dev/null -H 'Content-Type: application/json' --data-binary @"$work/shared.json" \
                    "http://127.0.0.1:$port/api/v1/submissions"
                time_get "$port" "$path"
            done | median)"
            refreshed=-
            db="$QM_TEST_PG_URI&options=-c%20search_path%3Dqm_cpus_bench$i"
            if [[ "$(psql -X -At "$db" -c "SELECT to_regclass('qm_stale_marks') IS NOT NULL")" == t ]]; then
                refreshed="$(for _ in $(seq "$requests"); do
                    curl -s -o /dev/null -H 'Content-Type: application/json' --data-binary @"$work/shared.json" \
                        "http://127.0.0.1:$port/api/v1/submissions"
                    while [[ "$(psql -X -At "$db" -c "SELECT count(*) FROM qm_stale_marks")" != 0 ]]; do sleep 0.05; done
                    time_get "$port" "$path"
                done | median)"
            fi
            printf "%-6s %-3s %-36s %12s %12s %12s\n" "$round" "$i" "${path/$key/KEY}" "$kept" "$cold" "$refreshed"
        done
    done
done

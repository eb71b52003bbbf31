#!/usr/bin/env bash
# Cost of the result list with 100,000 stored results on PostgreSQL (any
# page: the first, a filter, a ranking, a cursor 50,000 rows deep), through
# a real quillmoth-server: for each request, the median wall time of N
# requests and the CPU time they took in the database backends and in the
# server. On a busy machine the wall times mostly measure waiting for a core;
# the CPU times are what the request itself costs.
#
#   bench/server/pg_list_bench.sh BUILD_DIR [REQUESTS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${1:?usage: pg_list_bench.sh BUILD_DIR [REQUESTS]}" && pwd)"
requests="${2:-20}"

if [[ -z "${QM_TEST_PG_URI:-}" ]]; then
    exec "$root/scripts/pg_cluster.sh" run "$0" "$@"
fi

work="$(mktemp -d /tmp/qm_list.XXXXXX)"
server_pid=""
cleanup() {
    if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; wait 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

psql -X -q "$QM_TEST_PG_URI" -c "DROP SCHEMA IF EXISTS qm_list100k CASCADE" -c "CREATE SCHEMA qm_list100k" >/dev/null
db="$QM_TEST_PG_URI&options=-c%20search_path%3Dqm_list100k"

# The server makes its own schema; the rows are then added in bulk.
"$build/quillmoth-server" --listen 127.0.0.1:0 --db "$db" --upload-limit 0 >"$work/out" 2>"$work/err" &
server_pid=$!
for _ in $(seq 100); do
    grep -q "listening on http://127.0.0.1:" "$work/out" && break
    sleep 0.1
done
port="$(sed -n 's|.*listening on http://127.0.0.1:\([0-9]*\).*|\1|p' "$work/out" | head -1)"
[[ -n "$port" ]] || { cat "$work/err" >&2; exit 1; }

# Six results through the server, one per CPU name, then copies made by the
# database (the processor pages' benchmark fills alike).
golden="$(cat "$root/tests/submit/golden_document.json")"
for n in "Intel(R) Xeon(R) Gold 6338 CPU @ 2.00GHz" "AMD Ryzen 9 7950X 16-Core Processor" \
         "Intel(R) Core(TM) i7-8700K CPU @ 3.70GHz" "AMD EPYC 7763 64-Core Processor" \
         "Intel(R) Core(TM) i5-1135G7 @ 2.40GHz" "AMD Ryzen 5 5600X 6-Core Processor"; do
    printf '%s' "${golden/\"cpu\":\"Sample CPU @ 3.00GHz\"/\"cpu\":\"$n\"}" |
        curl -s -o /dev/null -H 'Content-Type: application/json' --data-binary @- "http://127.0.0.1:$port/api/v1/submissions"
done
echo "== filling 100,000 results"
psql -X -q "$db" -f "$root/bench/server/pg_fill_100k.sql"
# The statistics of every processor are computed before timing.
while [[ "$(psql -X -At "$db" -c "SELECT count(*) FROM qm_stale_marks")" != 0 ]]; do sleep 1; done
# A cursor 50,000 rows deep, in each order, as a pager's "older" link gives it.
deep_newest="$(psql -X -At "$db" -c "SELECT uploaded_at || '_' || seq FROM qm_results WHERE listed
                                     ORDER BY uploaded_at DESC, seq DESC OFFSET 50000 LIMIT 1")"
deep_multi="$(psql -X -At "$db" -c "SELECT to_char(score_multi, 'FM9999999990.0999999999') || '_' || seq
                                    FROM qm_results WHERE listed AND flags = 0
                                    ORDER BY score_multi DESC, seq DESC OFFSET 50000 LIMIT 1")"

ticks() {  # CPU clock ticks so far of the server's database backends and of the server
    local pids db_ticks=0 p
    pids="$(psql -X -At "$QM_TEST_PG_URI" -c "SELECT pid FROM pg_stat_activity WHERE application_name = 'quillmoth-server'")"
    for p in $pids; do
        db_ticks=$((db_ticks + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)))
    done
    echo "$db_ticks $(awk '{print $14 + $15}' "/proc/$server_pid/stat")"
}

hz="$(getconf CLK_TCK)"
echo "== $requests requests each; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-44s %10s %14s %14s\n" "request" "median ms" "db CPU ms/req" "server CPU ms"
for path in "/" "/?cpu=xeon" "/?cpu=processor%20%23123" "/?cpu=no%20such%20cpu" "/?sort=multi" \
            "/?after=$deep_newest" "/?sort=multi&after=$deep_multi" "/api/v1/results?limit=20" \
            "/api/v1/results?limit=20&cpu=xeon" "/api/v1/results?limit=20&after=$deep_newest" \
            "/api/v1/results?limit=20&total=1" "/results/bench5000"; do
    curl -s -o /dev/null "http://127.0.0.1:$port$path"  # every pooled connection in use is warm
    read -r db0 sv0 < <(ticks)
    for _ in $(seq "$requests"); do
        curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$port$path"
    done | sort -n >"$work/times"
    read -r db1 sv1 < <(ticks)
    median="$(awk '{a[NR] = $1} END {printf "%.1f", a[int((NR + 1) / 2)] * 1000}' "$work/times")"
    printf "%-44s %10s %14.1f %14.1f\n" "$path" "$median" \
        "$(echo "($db1 - $db0) * 1000 / $hz / $requests" | bc -l)" "$(echo "($sv1 - $sv0) * 1000 / $hz / $requests" | bc -l)"
done

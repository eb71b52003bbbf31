#!/usr/bin/env bash
# Cost of the result list with 100,000 stored results on PostgreSQL, through
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

echo "== filling 100,000 results (90% listed; CPU names from 5 families x 977 models)"
psql -X -q "$db" -v doc="$(cat "$root/tests/submit/golden_document.json")" <<'EOF'
INSERT INTO qm_results (id, uploaded_at, cpu, model, operating_system, compiler, cores, threads, figures, label,
                        listed, claim_hash, document)
SELECT 'bench' || g, 1700000000 + g / 3,
       (ARRAY['Intel(R) Core(TM) i7-', 'AMD Ryzen 9 ', 'Intel(R) Xeon(R) Gold ', 'Apple M', 'AMD EPYC '])[1 + g % 5]
           || (g % 977) || ' CPU @ 3.00GHz',
       'Model' || g % 100, 'Linux 6.1', 'GCC 12', 4 + g % 60, 8 + g % 120, array_fill(1.5::float8, ARRAY[44]), '',
       g % 10 <> 0, sha256(('claim' || g)::bytea), convert_to(replace(:'doc', '123456', g::text), 'UTF8')
FROM generate_series(1, 100000) g;
VACUUM ANALYZE qm_results;
EOF

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
for path in "/api/v1/results?limit=20" "/api/v1/results?limit=20&offset=50000" \
            "/api/v1/results?limit=20&cpu=intel" "/api/v1/results?limit=20&cpu=ryzen%209%2012" \
            "/api/v1/results?limit=20&cpu=no%20such%20cpu" "/api/v1/results/bench5000" "/"; do
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

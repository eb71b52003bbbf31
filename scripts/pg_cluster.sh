#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the results service's tests and
# benchmarks: initdb into a fresh temporary directory, listening only on a Unix
# socket inside that directory (no TCP port, so nothing else can reach it and
# parallel runs never collide). A system cluster is never touched.
#
#   pg_cluster.sh run CMD [ARG]...   start a cluster, run CMD with QM_TEST_PG_URI
#                                    and QM_TEST_PG_DIR exported, stop and remove
#                                    the cluster whatever CMD does; exits with
#                                    CMD's status
#   pg_cluster.sh start              start one; prints "export ..." lines for eval
#   pg_cluster.sh stop DIR           stop the server (the data stays)
#   pg_cluster.sh resume DIR         start a stopped server again
#   pg_cluster.sh destroy DIR        stop the server and remove DIR
#
# A cluster started with TMPDIR set to another cluster's directory lives
# inside it and is stopped and removed with it.
#
# postgres refuses to run as root, so as root the server runs as an
# unprivileged user (QM_PG_USER, default "nobody") that owns the directory.
# PG_BIN overrides where initdb and pg_ctl are found.
set -euo pipefail

pg_bin() {
    if [[ -n "${PG_BIN:-}" ]]; then
        echo "$PG_BIN"
        return
    fi
    local d
    for d in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        if [[ -x "$d/initdb" && -x "$d/pg_ctl" ]]; then
            echo "$d"
            return
        fi
    done
    if command -v pg_ctl >/dev/null 2>&1; then
        dirname "$(command -v pg_ctl)"
        return
    fi
    echo "pg_cluster.sh: no PostgreSQL server binaries (initdb, pg_ctl) found; install Debian's postgresql" >&2
    exit 1
}

as_owner() {  # runs a command as the cluster's owner
    if [[ "$(id -u)" == 0 ]]; then
        runuser -u "${QM_PG_USER:-nobody}" -- "$@"
    else
        "$@"
    fi
}

check_dir() {
    local dir="${1:-}"
    if [[ -z "$dir" || ! -f "$dir/data/PG_VERSION" ]]; then
        echo "pg_cluster.sh: '$dir' is not a cluster made by this script" >&2
        exit 1
    fi
}

server_start() {
    local dir="$1" bin
    bin="$(pg_bin)"
    as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null
}

server_stop() {
    local dir="$1" bin
    bin="$(pg_bin)"
    if as_owner "$bin/pg_ctl" -D "$dir/data" status >/dev/null 2>&1; then
        as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null
    fi
}

cluster_start() {  # prints the directory
    local bin dir owner
    bin="$(pg_bin)"
    dir="$(mktemp -d "${TMPDIR:-/tmp}/qm-pg.XXXXXX")"
    if [[ "$(id -u)" == 0 ]]; then
        owner="${QM_PG_USER:-nobody}"
        if ! id "$owner" >/dev/null 2>&1; then
            echo "pg_cluster.sh: user '$owner' does not exist; set QM_PG_USER to an unprivileged user" >&2
            rm -rf "$dir"
            exit 1
        fi
        chown "$owner" "$dir"
    fi
    chmod 0700 "$dir"
    if ! as_owner "$bin/initdb" -D "$dir/data" -U quillmoth --auth=trust --no-sync -E UTF8 --locale=C.UTF-8 \
            >"$dir/initdb.log" 2>&1; then
        echo "pg_cluster.sh: initdb failed:" >&2
        cat "$dir/initdb.log" >&2
        rm -rf "$dir"
        exit 1
    fi
    # Unix socket only, in the cluster's own directory. Enough connections for
    # several server instances with a pool each, plus the tests' own.
    cat >>"$dir/data/postgresql.conf" <<EOF
listen_addresses = ''
unix_socket_directories = '$dir'
max_connections = 200
shared_buffers = 64MB
logging_collector = off
EOF
    if [[ "${QM_PG_FSYNC:-on}" == off ]]; then
        # Only for quick local iteration: a crash of the machine could lose
        # data, a crash of the server cannot.
        echo "fsync = off" >>"$dir/data/postgresql.conf"
    fi
    if ! server_start "$dir"; then
        echo "pg_cluster.sh: the server did not start:" >&2
        cat "$dir/server.log" >&2
        rm -rf "$dir"
        exit 1
    fi
    "$bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -U quillmoth -d postgres \
        -c "CREATE DATABASE quillmoth" >/dev/null
    # The trigram extension lives in the database's public schema, as an
    # administrator would install it: the servers under test each use their
    # own schema, and dropping one of those must not take the extension (and
    # every other schema's trigram index) with it. Without pg_trgm installed
    # the servers run without the index.
    "$bin/psql" -X -q -h "$dir" -U quillmoth -d quillmoth \
        -c "CREATE EXTENSION IF NOT EXISTS pg_trgm SCHEMA public" >/dev/null 2>&1 || true
    echo "$dir"
}

cluster_destroy() {
    local dir="$1" nested
    check_dir "$dir"
    # Clusters made with TMPDIR inside this one (a test's private cluster)
    # go with it, even when the test that made them was killed.
    for nested in "$dir"/qm-pg.*; do
        if [[ -f "$nested/data/PG_VERSION" ]]; then
            server_stop "$nested" || true
        fi
    done
    server_stop "$dir" || true
    rm -rf "$dir"
}

uri_for() {
    echo "postgresql://quillmoth@/quillmoth?host=$1"
}

cmd="${1:-}"
[[ $# -gt 0 ]] && shift
case "$cmd" in
run)
    if [[ $# -eq 0 ]]; then
        echo "pg_cluster.sh run: no command given" >&2
        exit 2
    fi
    dir="$(cluster_start)"
    trap 'cluster_destroy "$dir"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    status=0
    QM_TEST_PG_URI="$(uri_for "$dir")" QM_TEST_PG_DIR="$dir" "$@" || status=$?
    exit "$status"
    ;;
start)
    dir="$(cluster_start)"
    echo "export QM_TEST_PG_DIR='$dir'"
    echo "export QM_TEST_PG_URI='$(uri_for "$dir")'"
    ;;
stop)
    check_dir "${1:-}"
    server_stop "$1"
    ;;
resume)
    check_dir "${1:-}"
    server_start "$1"
    ;;
destroy)
    cluster_destroy "${1:-}"
    ;;
*)
    echo "usage: pg_cluster.sh run CMD [ARG]... | start | stop DIR | resume DIR | destroy DIR" >&2
    exit 2
    ;;
esac

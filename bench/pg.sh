#!/usr/bin/env bash
# bench/pg.sh: the full selection over the 100k company on a PostgreSQL 15
# server of its own (a temporary folder, a Unix socket, stopped afterwards)
# against the floor of reading the same rows with a bare libpq loop.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh release >/dev/null
bin=/usr/lib/postgresql/15/bin
dir=$(mktemp -d /tmp/reminders-pgbench-XXXXXX)
as_server() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
[ "$(id -u)" -eq 0 ] && chown postgres "$dir"
trap 'as_server "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true; rm -rf "$dir"' EXIT
as_server "$bin/initdb" -D "$dir/data" --no-locale -E UTF8 -A trust -U postgres --no-sync >/dev/null
as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w \
  -o "-k $dir -c listen_addresses='' -c shared_buffers=256MB" start >/dev/null
as_server "$bin/createdb" -h "$dir" -U postgres company
export REMINDERS_BENCH_PG="postgresql:///company?host=$dir&user=postgres"
# From the server's folder: a company on a server keeps its log where the program runs.
bench=$PWD/build-release/bench/reminder-pg-bench
export REMINDERS_BENCH_DIR=${REMINDERS_BENCH_DIR:-$PWD/bench-data}
(cd "$dir" && "$bench" --benchmark_counters_tabular=true)

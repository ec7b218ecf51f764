#!/usr/bin/env bash
# bench/pg.sh [SIZES]: the full selection over the generated companies on a
# PostgreSQL 15 server of its own (a temporary folder, a Unix socket, stopped
# afterwards) against the floor of reading the same rows with a bare libpq
# loop. SIZES: any of 100k,1m (default: both). The first run of a size copies
# its company file onto the server (the 1m copy takes a few minutes, and
# generating the 1m file, when missing, one to four more).
# Each benchmark runs $REMINDERS_BENCH_REPS times (default 3); the median is shown.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${1:-100k,1m}
args=()
IFS=, read -ra wanted <<<"$sizes"
for s in "${wanted[@]}"; do
  case "$s" in
    100k) args+=(0) ;; 1m) args+=(1) ;;
    *) echo "unknown size $s" >&2; exit 2 ;;
  esac
done
arg_re=$(IFS='|'; echo "${args[*]}")
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DREMINDERS_BENCH=ON -DREMINDERS_TESTS=OFF >/dev/null
cmake --build build-release -j2 --target reminder-pg-bench >/dev/null
bin=/usr/lib/postgresql/15/bin
dir=$(mktemp -d /tmp/reminders-pgbench-XXXXXX)
json=$(mktemp)
as_server() { if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
[ "$(id -u)" -eq 0 ] && chown postgres "$dir"
trap 'as_server "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true; rm -rf "$dir" "$json"' EXIT
as_server "$bin/initdb" -D "$dir/data" --no-locale -E UTF8 -A trust -U postgres --no-sync >/dev/null
as_server "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w \
  -o "-k $dir -c listen_addresses='' -c shared_buffers=256MB -c fsync=off" start >/dev/null
for s in "${wanted[@]}"; do as_server "$bin/createdb" -h "$dir" -U postgres "company_$s"; done
export REMINDERS_BENCH_PG="postgresql:///company_{size}?host=$dir&user=postgres"
# From the server's folder: a company on a server keeps its log where the program runs.
bench=$PWD/build-release/bench/reminder-pg-bench
export REMINDERS_BENCH_DIR=${REMINDERS_BENCH_DIR:-$PWD/bench-data}
reps=${REMINDERS_BENCH_REPS:-3}
(cd "$dir" && "$bench" --benchmark_filter="/($arg_re)/" --benchmark_repetitions="$reps" \
  --benchmark_report_aggregates_only=true --benchmark_out="$json" --benchmark_out_format=json >/dev/null)

python3 - "$json" <<'PY'
import json, re, sys
rows = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
        continue
    if b.get("error_occurred"):
        print("%s: %s" % (b["name"], b.get("error_message", "failed")))
        continue
    m = re.match(r"BM_Pg(\w+)/(\d)", b["name"])
    if m:
        rows[(m.group(1), ["100k", "1m"][int(m.group(2))])] = b
nominal = {"100k": 1e5, "1m": 1e6}
print("%-16s %6s %10s %14s %8s" % ("", "size", "ms", "ns/open inv.", "/floor"))
for size in ["100k", "1m"]:
    floor = rows.get(("Floor", size))
    open_invoices = (floor or {}).get("open_invoices") or nominal[size]
    for name in ["Floor", "FullSelection"]:
        b = rows.get((name, size))
        if not b:
            continue
        ms = b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
        ratio = "%7.2fx" % (b["real_time"] / floor["real_time"]) if floor else "-"
        print("%-16s %6s %10.1f %14.0f %8s" % (name, size, ms, ms * 1e6 / open_invoices, ratio))
PY

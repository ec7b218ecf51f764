#!/usr/bin/env bash
# bench/run.sh [SIZES] [FILTER]: builds the release flavour, runs the benchmarks
# over generated company files and prints one table: each selection's time as
# a ratio to the bare-SQLite floor of the same file first, then times and peak
# memory of every benchmark.
#
#   SIZES   which files: any of 10k,100k,1m (default: 10k,100k,1m)
#   FILTER  a regular expression over benchmark names (default: all)
#
# Company files are generated once into $REMINDERS_BENCH_DIR (default
# bench-data/, git-ignored) and reused; the 1m file takes about a minute.
# Each benchmark runs $REMINDERS_BENCH_REPS times (default 3) and the median
# is shown: on a shared machine a single run of the large file can be off by
# a fifth.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${1:-10k,100k,1m}
filter=${2:-.}
bash scripts/build.sh release >/dev/null

args=()
IFS=, read -ra wanted <<<"$sizes"
for s in "${wanted[@]}"; do
  case "$s" in
    10k) args+=(0) ;; 100k) args+=(1) ;; 1m) args+=(2) ;;
    *) echo "unknown size $s" >&2; exit 2 ;;
  esac
done
arg_re=$(IFS='|'; echo "${args[*]}")
json=$(mktemp)
trap 'rm -f "$json"' EXIT
reps=${REMINDERS_BENCH_REPS:-3}
build-release/bench/reminder-bench --benchmark_filter="($filter)/($arg_re)(/|$)" \
  --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_out="$json" --benchmark_out_format=json >/dev/null

python3 - "$json" <<'PY'
import json, re, sys
data = json.load(open(sys.argv[1]))
rows = {}
for b in data["benchmarks"]:
    # With repetitions only the aggregates are written: keep the median.
    if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
        continue
    m = re.match(r"BM_(\w+)/(\d)", b["name"])
    if not m:
        continue
    name, size = m.group(1), ["10k", "100k", "1m"][int(m.group(2))]
    ms = b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    rows[(name, size)] = (ms, b.get("peak_bytes_per_invoice", 0.0), b.get("peak_kb", 0.0))
sizes = [s for s in ["10k", "100k", "1m"] if any(k[1] == s for k in rows)]
open_invoices = {"10k": 1e4, "100k": 1e5, "1m": 1e6}

print("Selection time / floor time (same file, same connection)")
print("%-22s" % "" + "".join("%12s" % s for s in sizes))
for name in ["FullSelection", "FastSelection", "StatementSelection"]:
    cells = []
    for s in sizes:
        if (name, s) in rows and ("Floor", s) in rows:
            cells.append("%11.2fx" % (rows[(name, s)][0] / rows[("Floor", s)][0]))
        else:
            cells.append("%12s" % "-")
    print("%-22s" % name + "".join(cells))

print()
print("Time in ms | peak memory above the start in bytes per open invoice")
print("%-22s" % "" + "".join("%22s" % s for s in sizes))
names = []
for (n, _) in rows:
    if n not in names:
        names.append(n)
for name in names:
    cells = []
    for s in sizes:
        if (name, s) in rows:
            ms, per, _ = rows[(name, s)]
            cells.append("%12.1f |%7.1f B" % (ms, per))
        else:
            cells.append("%22s" % "-")
    print("%-22s" % name + "".join(cells))

if "FullSelection" in names and len(sizes) > 1:
    print()
    print("Full selection per open invoice (ns)")
    base = None
    for s in sizes:
        per = rows[("FullSelection", s)][0] * 1e6 / open_invoices[s]
        base = base or per
        print("  %-6s %8.0f ns   (%.2f of %s)" % (s, per, per / base, sizes[0]))
PY

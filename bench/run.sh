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
# a fifth. The whole commands (Listing, Send, OneCustomer*) run once: they
# take up to minutes on the large files; pick rows by name to leave them out,
# e.g. 'BM_(Floor|FullSelection)'. OneCustomer* over sizes 10k and 100k use
# the one-customer files of those sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes=${1:-10k,100k,1m}
filter=${2:-.}
# $REMINDERS_BENCH_BIN runs another build's benchmarks (an earlier commit's,
# for a before-and-after in one sitting) instead of building this one.
bench=${REMINDERS_BENCH_BIN:-build-release/bench/reminder-bench}
[ -n "${REMINDERS_BENCH_BIN:-}" ] || bash scripts/build.sh release >/dev/null

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
"$bench" --benchmark_filter="($filter)/($arg_re)(/|$)" \
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
    if b.get("error_occurred"):
        print("%s: %s" % (b["name"], b.get("error_message", "failed")))
        continue
    m = re.match(r"BM_(\w+)/(\d)", b["name"])
    if not m:
        continue
    name, size = m.group(1), ["10k", "100k", "1m"][int(m.group(2))]
    ms = b["real_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    rows[(name, size)] = dict(ms=ms, per=b.get("peak_bytes_per_invoice", 0.0), kb=b.get("peak_kb", 0.0),
                              items=b.get("due_items", 0.0), rate=b.get("messages_per_s", 0.0),
                              open=b.get("open_invoices", 0.0))
sizes = [s for s in ["10k", "100k", "1m"] if any(k[1] == s for k in rows)]
nominal = {"10k": 1e4, "100k": 1e5, "1m": 1e6}

def open_invoices(s):
    # The floor counts the rows it reads; the generated files hold the nominal number.
    return rows.get(("Floor", s), {}).get("open") or nominal[s]

def ns_per_invoice(name, s):
    return rows[(name, s)]["ms"] * 1e6 / open_invoices(s)

print("Selection time / floor time (same file, same connection) and ns per open invoice")
print("%-22s" % "" + "".join("%20s" % s for s in sizes))
for name in ["Floor", "FullSelection", "FastSelection", "StatementSelection"]:
    cells = []
    for s in sizes:
        if (name, s) in rows and ("Floor", s) in rows:
            cells.append("%9.2fx %7.0f ns" % (rows[(name, s)]["ms"] / rows[("Floor", s)]["ms"], ns_per_invoice(name, s)))
        else:
            cells.append("%20s" % "-")
    print("%-22s" % name + "".join(cells))

print()
print("Time in ms | peak memory above the start in bytes per open invoice")
print("%-22s" % "" + "".join("%22s" % s for s in sizes))
names = []
for (n, _) in rows:
    if n not in names:
        names.append(n)
commands = ["Listing", "Send", "OneCustomerListing", "OneCustomerSend"]
for name in names:
    if name in commands:
        continue
    cells = []
    for s in sizes:
        if (name, s) in rows:
            r = rows[(name, s)]
            cells.append("%12.1f |%7.1f B" % (r["ms"], r["per"]))
        else:
            cells.append("%22s" % "-")
    print("%-22s" % name + "".join(cells))

if "FullSelection" in names and len(sizes) > 1:
    print()
    print("Full selection per open invoice (ns)")
    base = None
    for s in sizes:
        if ("FullSelection", s) not in rows:
            continue
        per = ns_per_invoice("FullSelection", s)
        base = base or per
        print("  %-6s %8.0f ns   (%.2f of %s)" % (s, per, per / base, sizes[0]))

if any(n in names for n in commands):
    print()
    print("Whole commands, one run each (OneCustomer: one customer holding all the open invoices)")
    print("%-20s %-6s %10s %9s %10s %12s %10s" % ("", "size", "ms", "due", "ns/item", "msgs/s", "B/item"))
    for name in commands:
        for s in sizes:
            if (name, s) not in rows:
                continue
            r = rows[(name, s)]
            items = r["items"] or 1
            extra = ""
            if name == "Listing" and ("FullSelection", s) in rows:
                extra = "  %.1fx the full selection" % (r["ms"] / rows[("FullSelection", s)]["ms"])
            print("%-20s %-6s %10.1f %9.0f %10.0f %12s %10.1f%s" % (
                name, s, r["ms"], r["items"], r["ms"] * 1e6 / items,
                "%.0f" % r["rate"] if name.endswith("Send") else "-", r["kb"] * 1024 / items, extra))
PY

#!/usr/bin/env bash
# fuzz.sh [seconds]: builds the libFuzzer targets into build-fuzz (clang-14,
# address and undefined-behaviour sanitizers) and runs each for `seconds`
# (default 60) from its seed corpus in fuzz/corpus/<target>. New inputs go to
# build-fuzz/corpus/<target>; a crash leaves its input in build-fuzz/findings
# and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DREMINDERS_FUZZ=ON -DREMINDERS_TESTS=OFF \
      -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
targets=(fuzz_reminder_set fuzz_statement_rule fuzz_target_group fuzz_date_text fuzz_customers_csv fuzz_invoices_csv fuzz_json_output)
cmake --build build-fuzz -j2 --target "${targets[@]}"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p build-fuzz/findings
status=0
for t in "${targets[@]}"; do
  seeds=fuzz/corpus/${t#fuzz_}
  work=build-fuzz/corpus/${t#fuzz_}
  mkdir -p "$work"
  echo "fuzz: $t for ${seconds}s"
  if ! build-fuzz/fuzz/"$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix=build-fuzz/findings/"$t"- -print_final_stats=1 "$work" "$seeds" \
        >build-fuzz/"$t".log 2>&1; then
    echo "fuzz: $t FOUND A PROBLEM (build-fuzz/$t.log, input in build-fuzz/findings/)"
    status=1
  fi
  grep -E "stat::number_of_executed_units|^Done" build-fuzz/"$t".log | sed "s/^/  /" || true
done
exit $status

#!/usr/bin/env bash
# test.sh [debug|asan]: installs what is missing, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-debug}
bash scripts/setup.sh
bash scripts/build.sh "$flavour"
if [ "$flavour" = asan ]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
ctest --test-dir "build-$flavour" --output-on-failure -j2

#!/usr/bin/env bash
# build.sh [debug|asan|release]: configures and builds one flavour into build-<flavour>.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-debug}
case "$flavour" in
  debug)   args=(-DCMAKE_BUILD_TYPE=Debug -DREMINDERS_BENCH=ON) ;;  # the benchmarks are built, so they keep compiling
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DREMINDERS_SANITIZE=ON) ;;
  release) args=(-DCMAKE_BUILD_TYPE=Release -DREMINDERS_BENCH=ON -DREMINDERS_TESTS=OFF) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
# Where ccache is installed, checkouts of the same tree share compiled objects.
if command -v ccache >/dev/null; then
  args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
fi
cmake -S . -B "build-$flavour" "${args[@]}" >/dev/null
cmake --build "build-$flavour" -j2

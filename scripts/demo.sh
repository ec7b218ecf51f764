#!/usr/bin/env bash
# The main job on the embedded sample: installs what is missing, builds,
# creates a sample company file and shows what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh debug >/dev/null
bin=build-debug/App/reminders
sample=build-debug/sample.db
rm -f "$sample" "$sample"-wal "$sample"-shm
"$bin" --file "$sample" init
"$bin" --file "$sample" info

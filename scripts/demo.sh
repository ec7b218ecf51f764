#!/usr/bin/env bash
# The main job on the embedded sample: installs what is missing, builds,
# creates the sample company file and shows what is due today and what
# sending it would write.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh debug >/dev/null
bin=build-debug/App/reminders
sample=build-debug/sample.db
today=${REMINDERS_TODAY:-$(date +%F)}
rm -f "$sample" "$sample"-wal "$sample"-shm "$sample".log
"$bin" --file "$sample" --today "$today" init --sample
echo
"$bin" --file "$sample" --today "$today" sets list
echo
"$bin" --file "$sample" --today "$today" due
echo
"$bin" --file "$sample" --today "$today" send --dry-run

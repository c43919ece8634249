#!/usr/bin/env bash
# bench_jobupcall: builds everything and prints the wall time of jobupcall -l and -L on large queues.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$KVD_ROOT/scripts/setup.sh"
"$KVD_ROOT/scripts/build.sh" >/dev/null
echo "bench_jobupcall: queues of 0, 100, 1,000 and 10,000 jobs (Wine, $(nproc) cores)"
"$KVD_ROOT/scripts/wine-run.sh" "$TESTS_BUILD/bin/bench_jobupcall.exe"

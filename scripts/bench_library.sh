#!/usr/bin/env bash
# bench_library: builds everything and prints the library's figures (logon decision, the engine pair and a
# logon without upcall against their floor, lock round trips).
# It rewrites the package's registry keys, so it runs in a Wine prefix of its own.
set -euo pipefail
source "$(dirname "$0")/env.sh"
export WINEPREFIX=$BUILD_DIR/wineprefix-bench
"$KVD_ROOT/scripts/setup.sh"
"$KVD_ROOT/scripts/build.sh"
echo "bench_library: running in $WINEPREFIX"
"$KVD_ROOT/scripts/wine-run.sh" "$TESTS_BUILD/bin/bench_library.exe"
wineserver -k || true

#!/usr/bin/env bash
# bench: runs every benchmark of the project and prints one table, each figure with
# the baseline measured in the same run and the ratio.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$KVD_ROOT/scripts/setup.sh"
"$KVD_ROOT/scripts/build.sh" >/dev/null
out=$BUILD_DIR/bench
mkdir -p "$out"
"$KVD_ROOT/scripts/wine-run.sh" "$TESTS_BUILD/bin/bench_jobupcall.exe" | tr -d '\r' >"$out/jobupcall.txt"
(
    # The library's benchmark rewrites the package's keys: a prefix of its own.
    export WINEPREFIX=$BUILD_DIR/wineprefix-bench
    "$KVD_ROOT/scripts/setup.sh" >/dev/null
    "$KVD_ROOT/scripts/wine-run.sh" "$TESTS_BUILD/bin/bench_library.exe" | tr -d '\r' >"$out/library.txt"
    wineserver -k || true
)

echo "Benchmarks (Wine on $(nproc) cores; raw output in $out)"
printf '%-54s %14s %26s %8s\n' "benchmark" "figure" "baseline (same run)" "ratio"
# jobupcall table rows: jobs, fastest -l, /, median -l, fastest -L, /, median -L, ...
awk '$1 ~ /^[0-9]+$/ && NF >= 7 { fl[$1] = $2; fL[$1] = $5; order[++n] = $1 }
     END { for (i = 1; i <= n; i++) { j = order[i]; if (j == 0) continue;
             printf "%-54s %11.1f ms %21.1f ms %8.2f\n", "jobupcall -l, " j " jobs (empty queue as baseline)", fl[j], fl[0], fl[j] / fl[0];
             printf "%-54s %11.1f ms %21.1f ms %8.2f\n", "jobupcall -L, " j " jobs (empty queue as baseline)", fL[j], fL[0], fL[j] / fL[0] } }' \
    "$out/jobupcall.txt"
awk '/^logon decision \(/ { for (i = 1; i <= NF; i++) if ($i == "median") d = $(i + 1) }
     /^bare child/ { for (i = 1; i <= NF; i++) if ($i == "median") b = $(i + 1) }
     /^lock round trips from 1 / { for (i = 1; i <= NF; i++) if ($i == "increase+decrease") one = $(i - 1) }
     /^lock round trips from 4 / { for (i = 1; i <= NF; i++) if ($i == "increase+decrease") four = $(i - 1) }
     /^engine pair \(/ { for (i = 1; i <= NF; i++) { if ($i == "median") ep = $(i + 1); if ($i == "floor") epf = $(i + 1) } }
     /^logon without upcall \(/ { for (i = 1; i <= NF; i++) { if ($i == "median") lo = $(i + 1); if ($i == "floor") lof = $(i + 1) } }
     END { printf "%-54s %11.1f ms %21.1f ms %8.2f\n", "logon decision (bare child start as baseline)", d, b, d / b;
           printf "%-54s %11.3f ms %21.3f ms %8.2f\n", "engine pair (floor of its raw calls as baseline)", ep, epf, ep / epf;
           printf "%-54s %11.3f ms %21.3f ms %8.2f\n", "logon without upcall (floor of its raw calls)", lo, lof, lo / lof;
           printf "%-54s %12.0f/s %20.0f/s %8.2f\n", "lock round trips, 4 processes (1 as baseline)", four, one, four / one }' \
    "$out/library.txt"

#!/usr/bin/env bash
# run_in_own_prefix: runs popctl's GoogleTest program in a Wine prefix of its
# own, created on demand, with its own wineserver. popctl's tests log the Wine
# session off, which ends every windowed process of the prefix (a forced logoff
# ends every process); no other test may share the prefix.
# Usage: run_in_own_prefix.sh PREFIX_DIR PROGRAM [GTEST_ARGS...]
set -uo pipefail
prefix=$1
program=$2
shift 2
export WINEPREFIX=$prefix
source "$(dirname "$0")/../../scripts/env.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "run_in_own_prefix: creating the Wine prefix $WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1 || true
    wineserver -w
fi
# Wine's fonts, and windows not managed (Xvfb runs no window manager): env.sh.
kvd_wine_prefix_look
wineserver -w

report=$(mktemp -u "${TMPDIR:-/tmp}/popctl-report.XXXXXX.xml")
# Runs the program with a GoogleTest report; the report exists only when the
# program came to its end (a logoff that ends it midway leaves none).
run_reporting() {
    rm -f "$report"
    wine "$program" --gtest_output="xml:$(winepath -w "$report")" "$@"
}

run_reporting --gtest_filter=-ForcedLogoff.* "$@"
status=$?
if [ ! -s "$report" ]; then
    echo "run_in_own_prefix: $(basename "$program") ended before its report was written" >&2
    status=1
fi
# The forced logoff ends the test program itself: the first run starts it and
# must be ended by it; the second run checks what popctl traced.
if [ $status -eq 0 ]; then
    echo "run_in_own_prefix: ForcedLogoff, first run (ended by the logoff)"
    run_reporting --gtest_filter=ForcedLogoff.* >/dev/null 2>&1
    wineserver -w
    if [ -s "$report" ]; then
        echo "run_in_own_prefix: the forced logoff did not end the session" >&2
        status=1
    else
        run_reporting --gtest_filter=ForcedLogoff.* || status=1
        [ -s "$report" ] || status=1
    fi
fi
rm -f "$report"
# Ends whatever the test left in this prefix (only this prefix's server).
wineserver -k >/dev/null 2>&1 || true
exit $status

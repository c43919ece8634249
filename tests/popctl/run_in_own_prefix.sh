#!/usr/bin/env bash
# run_in_own_prefix: runs one GoogleTest program in a Wine prefix of its own,
# created on demand, with its own wineserver. popctl's tests log the Wine session
# off, which ends every windowed process of the prefix; no other test may share it.
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
# Xvfb runs no window manager: Wine then draws the frames and captions itself,
# and hiding a window does not wait for a manager that never answers.
if ! grep -q '"Managed"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    echo "run_in_own_prefix: windows of $WINEPREFIX are not managed"
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
fi

# A forced logoff ends the test program as well: only a complete report counts.
report=$(mktemp -u "${TMPDIR:-/tmp}/popctl-report.XXXXXX.xml")
wine "$program" --gtest_output="xml:$(winepath -w "$report")" "$@"
status=$?
if [ $status -eq 0 ] && [ ! -s "$report" ]; then
    echo "run_in_own_prefix: $(basename "$program") ended before its report was written" >&2
    status=1
fi
rm -f "$report"
# Ends whatever the test left in this prefix (only this prefix's server).
wineserver -k >/dev/null 2>&1 || true
exit $status

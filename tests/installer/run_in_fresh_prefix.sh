#!/usr/bin/env bash
# run_in_fresh_prefix: runs a test program in a Wine prefix made for the run and
# removed after it, so that an installer test sees what an installation leaves
# behind and nothing else. Usage: run_in_fresh_prefix.sh PREFIX PROGRAM [ARGS...]
export WINEPREFIX=$1
shift
source "$(dirname "$0")/../../scripts/env.sh"
wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
"$KVD_ROOT/scripts/setup.sh" >/dev/null   # makes the prefix
"$KVD_ROOT/scripts/wine-run.sh" "$@"
status=$?
wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
exit $status

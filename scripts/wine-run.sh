#!/usr/bin/env bash
# wine-run: runs one Windows program in the project's Wine prefix and returns its exit code.
# The program's output goes through a file: when Wine starts its own system processes
# they inherit the standard handles and would hold a caller's pipe open for ever.
source "$(dirname "$0")/env.sh"
output=$(mktemp)
# Wine's debug channels (the event log's stub among them) write to this file
# too; a test program finds it here to read what its children logged.
export KVD_WINE_OUTPUT=$output
wine "$@" >"$output" 2>&1 </dev/null
status=$?
cat "$output"
rm -f "$output"
exit $status

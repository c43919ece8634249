#!/usr/bin/env bash
# wine-run: runs one Windows program in the project's Wine prefix and returns its exit code.
source "$(dirname "$0")/env.sh"
exec wine "$@"

#!/usr/bin/env bash
# check_imports: fails when a shipped binary imports a function that Windows XP SP3
# or Server 2003 lacks (their logon process must be able to load the package).
set -euo pipefail
binary=$1
imports=$(i686-w64-mingw32-objdump -p "$binary" | awk '/DLL Name:/ {dll=$3; next} dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print dll ":" $3} /^$/ {dll=""}')
banned='GetTickCount64|ConditionVariable|SRWLock|InitOnce|^[^:]*:Fls|RegGetValue|InitiateShutdown|ShutdownBlockReason'
bad=$(printf '%s\n' "$imports" | grep -E "$banned" || true)
bad_crt=$(printf '%s\n' "$imports" | grep -iE '^msvcrt\.dll:.*_s$' || true)
if [ -n "$bad$bad_crt" ]; then
    echo "check_imports: $(basename "$binary") imports functions missing on Windows XP:" >&2
    printf '%s\n' $bad $bad_crt >&2
    exit 1
fi

#!/usr/bin/env bash
# static_analysis: cppcheck over the product's sources; every finding is fixed or
# suppressed in place with a one-line reason ("cppcheck-suppress ID ; why").
set -euo pipefail
source "$(dirname "$0")/env.sh"
cd "$KVD_ROOT"
cppcheck --platform=win32A --enable=warning,performance,portability --inline-suppr --quiet \
    --std=c++17 --error-exitcode=1 -D_WIN32 -D__MINGW32__ \
    -I src/login_control/KVDnotificationLibrary -I jobupcall/runtime_api \
    src/login_control/KVDnotificationLibrary jobupcall
echo "static_analysis: cppcheck found nothing in the product's sources"

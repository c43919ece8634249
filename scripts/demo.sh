#!/usr/bin/env bash
# demo: sets everything up, builds, and runs the main job under Wine.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$KVD_ROOT/scripts/setup.sh"
"$KVD_ROOT/scripts/build.sh"
"$KVD_ROOT/scripts/wine-run.sh" "$PRODUCT_BUILD/bin/kvdsmoke.exe"

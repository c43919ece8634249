#!/usr/bin/env bash
# demo: sets everything up, builds, and plays the typical road of a logon while a
# distribution runs (scripts/demo_scenario.sh) under Wine on the Xvfb display.
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$KVD_ROOT/scripts/setup.sh"
"$KVD_ROOT/scripts/build.sh" >/dev/null
exec "$KVD_ROOT/scripts/demo_scenario.sh"

#!/usr/bin/env bash
# test: sets everything up, builds both trees and runs the whole test suite.
# Extra arguments go to ctest (for example -R registry to run one group).
set -euo pipefail
source "$(dirname "$0")/env.sh"
"$KVD_ROOT/scripts/setup.sh"
"$KVD_ROOT/scripts/build.sh"
cd "$TESTS_BUILD"
ctest --output-on-failure --timeout 600 "$@"

#!/usr/bin/env bash
# build: configures and builds the shipped binaries (win32 thread model) and the
# test programs (posix thread model) in two trees under the build folder.
set -euo pipefail
source "$(dirname "$0")/env.sh"
jobs=$(nproc)
cmake -S "$KVD_ROOT" -B "$PRODUCT_BUILD" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$KVD_ROOT/cmake/toolchain-mingw-win32.cmake" >/dev/null
cmake --build "$PRODUCT_BUILD" -j "$jobs"
cmake -S "$KVD_ROOT" -B "$TESTS_BUILD" -DCMAKE_BUILD_TYPE=Release -DKVD_TESTS=ON \
      -DKVD_PRODUCT_BIN="$PRODUCT_BUILD/bin" \
      -DCMAKE_TOOLCHAIN_FILE="$KVD_ROOT/cmake/toolchain-mingw-posix.cmake" >/dev/null
cmake --build "$TESTS_BUILD" -j "$jobs"

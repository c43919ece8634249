#!/usr/bin/env bash
# build: configures and builds the shipped binaries (win32 thread model) and the
# test programs (posix thread model) in two trees under the build folder. On a
# machine that runs no 32-bit code (scripts/env.sh) the product is also built
# for x86_64, and the tests are built for x86_64 and run that build.
set -euo pipefail
source "$(dirname "$0")/env.sh"
jobs=$(nproc)
configure_and_build() {   # DIR TOOLCHAIN CMAKE_ARGS...
    local dir=$1 toolchain=$2
    shift 2
    cmake -S "$KVD_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
          -DCMAKE_TOOLCHAIN_FILE="$KVD_ROOT/cmake/$toolchain" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}
configure_and_build "$PRODUCT_BUILD" toolchain-mingw-win32.cmake
tests_toolchain=toolchain-mingw-posix.cmake
if [ "$KVD_WINE_ARCH" = win64 ]; then
    configure_and_build "$RUN_PRODUCT_BUILD" toolchain-mingw64-win32.cmake
    tests_toolchain=toolchain-mingw64-posix.cmake
fi
configure_and_build "$TESTS_BUILD" "$tests_toolchain" -DKVD_TESTS=ON -DKVD_PRODUCT_BIN="$RUN_PRODUCT_BUILD/bin"

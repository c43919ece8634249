# The product's sources built for x86_64 (never shipped): what the tests run on
# a machine that cannot run 32-bit code (see scripts/env.sh).
set(KVD_TRIPLE x86_64-w64-mingw32)
set(KVD_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

# The test programs built for x86_64, for a machine that cannot run 32-bit code.
set(KVD_TRIPLE x86_64-w64-mingw32)
set(KVD_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

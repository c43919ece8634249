# Cross toolchain for the shipped binaries: mingw-w64 i686 with the win32 thread
# model, so the static runtime imports nothing that Windows XP lacks.
set(KVD_TRIPLE i686-w64-mingw32)
set(KVD_THREADS win32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

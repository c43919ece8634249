# Cross toolchain for the test programs (never shipped): mingw-w64 i686 with the
# posix thread model, which GoogleTest needs for std::mutex.
set(KVD_TRIPLE i686-w64-mingw32)
set(KVD_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)

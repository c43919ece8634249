# donemsg: the completion message program (windowed, no window of its own).
add_executable(donemsg WIN32 ${CMAKE_CURRENT_LIST_DIR}/donemsg.cpp ${KVD_COMMON_SOURCES})
target_link_options(donemsg PRIVATE -mwindows)
kvd_deliverable(donemsg)

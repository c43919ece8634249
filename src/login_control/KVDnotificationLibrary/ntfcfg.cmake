# ntfcfg: the configuration tool (console).
add_executable(ntfcfg ${CMAKE_CURRENT_LIST_DIR}/ntfcfg.cpp ${KVD_COMMON_SOURCES})
kvd_deliverable(ntfcfg)

# The sources of each deliverable, shared by the shipped build and the tests
# (which compile them in to test internal functions).
set(KVD_COMMON_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/registry_util.cpp
    ${CMAKE_CURRENT_LIST_DIR}/notify_trace.cpp
    ${CMAKE_CURRENT_LIST_DIR}/object_security.cpp)
set(KVD_LIBRARY_SOURCES
    ${KVD_COMMON_SOURCES}
    ${CMAKE_CURRENT_LIST_DIR}/KVDnotificationLibrary.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fault_guard.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utils.cpp
    ${CMAKE_CURRENT_LIST_DIR}/upcalls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/program_util.cpp)

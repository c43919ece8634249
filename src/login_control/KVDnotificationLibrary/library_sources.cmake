# The sources of each deliverable, shared by the shipped build and the tests
# (which compile them in to test internal functions).
set(KVD_COMMON_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/registry_util.cpp
    ${CMAKE_CURRENT_LIST_DIR}/notify_trace.cpp
    ${CMAKE_CURRENT_LIST_DIR}/object_security.cpp)

# The event source's messages: windmc writes the event IDs (kvd_events.h)
# and the message table the library carries (kvd_events.rc, MSG00409.bin).
set(KVD_EVENTS_DIR ${CMAKE_BINARY_DIR}/generated/events)
string(REGEX REPLACE "windres$" "windmc" KVD_WINDMC "${CMAKE_RC_COMPILER}")
add_custom_command(OUTPUT ${KVD_EVENTS_DIR}/kvd_events.h ${KVD_EVENTS_DIR}/kvd_events.rc ${KVD_EVENTS_DIR}/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KVD_EVENTS_DIR}
    COMMAND ${KVD_WINDMC} -U -h ${KVD_EVENTS_DIR} -r ${KVD_EVENTS_DIR} ${CMAKE_CURRENT_LIST_DIR}/kvd_events.mc
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/kvd_events.mc
    COMMENT "Compiling the event messages" VERBATIM)

set(KVD_LIBRARY_SOURCES
    ${KVD_COMMON_SOURCES}
    ${CMAKE_CURRENT_LIST_DIR}/KVDnotificationLibrary.cpp
    ${CMAKE_CURRENT_LIST_DIR}/fault_guard.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utils.cpp
    ${CMAKE_CURRENT_LIST_DIR}/upcalls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/program_util.cpp
    ${CMAKE_CURRENT_LIST_DIR}/event_log.cpp
    ${KVD_EVENTS_DIR}/kvd_events.h)

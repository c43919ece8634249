# popctl: the popup manager that runs in every interactive logon (a windowed program).
add_executable(popctl WIN32
    ${KVD_COMMON_SOURCES}
    ${CMAKE_CURRENT_LIST_DIR}/popctl.cpp
    ${CMAKE_CURRENT_LIST_DIR}/popup_dialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/popctl.rc)
target_link_options(popctl PRIVATE -mwindows)
kvd_deliverable(popctl)

# The installers: the MSI (built by wixl) and the .cmd kit. Their lists of
# settings, and the Group Policy template, are written at build time from the
# settings table by settings_lists, a small program built for the build
# machine itself.

find_program(KVD_HOST_CXX NAMES c++ g++ NO_CMAKE_FIND_ROOT_PATH)
find_program(KVD_WIXL wixl NO_CMAKE_FIND_ROOT_PATH)
find_program(KVD_MSIBUILD msibuild NO_CMAKE_FIND_ROOT_PATH)
if(NOT KVD_HOST_CXX OR NOT KVD_WIXL OR NOT KVD_MSIBUILD)
    message(FATAL_ERROR "The installers need a C++ compiler for the build machine, wixl and msibuild "
                        "(scripts/setup.sh installs them)")
endif()

set(KVD_INSTALLER_SRC ${CMAKE_SOURCE_DIR}/installer)
set(KVD_SETTINGS_LISTS ${CMAKE_BINARY_DIR}/installer/settings_lists)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/installer ${CMAKE_BINARY_DIR}/kit)
add_custom_command(OUTPUT ${KVD_SETTINGS_LISTS}
    COMMAND ${KVD_HOST_CXX} -std=c++17 -Wall -Wextra -Werror -DKVD_TEMPLATE_TEXTS -I${KVD_INSTALLER_SRC}/host -I${KVD_SRC}
            ${KVD_INSTALLER_SRC}/settings_lists.cpp -o ${KVD_SETTINGS_LISTS}
    DEPENDS ${KVD_INSTALLER_SRC}/settings_lists.cpp ${KVD_INSTALLER_SRC}/host/windows.h
            ${KVD_SRC}/registry_schema.h ${KVD_SRC}/event_source.h
    COMMENT "Building settings_lists for the build machine" VERBATIM)
add_custom_target(kvd_settings_lists DEPENDS ${KVD_SETTINGS_LISTS})

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(KVD_MSI_ARGS -a x64 -D Win64=yes -D ProgramFilesDir=ProgramFiles64Folder -D SystemDir=System64Folder)
else()
    set(KVD_MSI_ARGS -a x86 -D Win64=no -D ProgramFilesDir=ProgramFilesFolder -D SystemDir=SystemFolder)
endif()

# kvd_add_policy_template(TARGET OUTPUT): the Group Policy template (ADM).
function(kvd_add_policy_template target output)
    add_custom_command(OUTPUT ${output}
        COMMAND ${KVD_SETTINGS_LISTS} adm ${KVD_INSTALLER_SRC}/KVDNotification.adm.in ${output}
        DEPENDS ${KVD_SETTINGS_LISTS} ${KVD_INSTALLER_SRC}/KVDNotification.adm.in
        COMMENT "Writing the Group Policy template" VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${output})
    add_dependencies(${target} kvd_settings_lists)
endfunction()

# kvd_add_msi(TARGET OUTPUT VERSION BIN_DIR POLICY_TEMPLATE adm [OMIT value]
# [DEPENDS ...]): an MSI of the deliverables in BIN_DIR and the template.
# OMIT leaves one setting out (an older package).
function(kvd_add_msi target)
    cmake_parse_arguments(ARG "" "OUTPUT;VERSION;BIN_DIR;POLICY_TEMPLATE;OMIT" "DEPENDS" ${ARGN})
    set(wxs ${CMAKE_CURRENT_BINARY_DIR}/${target}.wxs)
    # wixl takes files by paths relative to the folder it runs in.
    file(RELATIVE_PATH template ${ARG_BIN_DIR} ${ARG_POLICY_TEMPLATE})
    add_custom_command(OUTPUT ${ARG_OUTPUT}
        COMMAND ${KVD_SETTINGS_LISTS} wix ${KVD_INSTALLER_SRC}/KVDNotification.wxs.in ${wxs} ${ARG_OMIT}
        COMMAND ${KVD_WIXL} ${KVD_MSI_ARGS} -D Version=${ARG_VERSION} -D PolicyTemplate=${template}
                -o ${ARG_OUTPUT} ${wxs}
        # wixl drops every "$" of its input: the one the texts need comes as a property.
        COMMAND ${KVD_MSIBUILD} ${ARG_OUTPUT} -q "INSERT INTO Property (Property, Value) VALUES ('KVD_DOLLAR', '$')"
        WORKING_DIRECTORY ${ARG_BIN_DIR}
        DEPENDS ${KVD_SETTINGS_LISTS} ${KVD_INSTALLER_SRC}/KVDNotification.wxs.in ${ARG_POLICY_TEMPLATE}
                ${ARG_DEPENDS}
        COMMENT "Building ${ARG_OUTPUT}" VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
    add_dependencies(${target} kvd_settings_lists)
endfunction()

# kvd_add_kit(TARGET OUTPUT_DIR DELIVERABLES...): install.cmd with the settings
# and the event source, and uninstall.cmd, beside a copy of the deliverables as
# in the ZIP.
function(kvd_add_kit target output_dir)
    set(copies)
    foreach(deliverable ${ARGN})
        list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${deliverable}> ${output_dir})
    endforeach()
    add_custom_command(OUTPUT ${output_dir}/install.cmd ${output_dir}/uninstall.cmd
        COMMAND ${KVD_SETTINGS_LISTS} kit ${CMAKE_SOURCE_DIR}/kit/install.cmd.in ${output_dir}/install.cmd
        COMMAND ${KVD_SETTINGS_LISTS} kit-uninstall ${CMAKE_SOURCE_DIR}/kit/uninstall.cmd.in ${output_dir}/uninstall.cmd
        ${copies}
        DEPENDS ${KVD_SETTINGS_LISTS} ${CMAKE_SOURCE_DIR}/kit/install.cmd.in ${CMAKE_SOURCE_DIR}/kit/uninstall.cmd.in
                ${ARGN}
        COMMENT "Writing the installation kit" VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${output_dir}/install.cmd ${output_dir}/uninstall.cmd)
    add_dependencies(${target} kvd_settings_lists ${ARGN})
endfunction()

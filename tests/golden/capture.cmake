# SPDX-License-Identifier: MIT
# A capture made by tools/rootscope-capture reads as the machine it copies.
# Every machine a golden reads goes through headroom/capture-roundtrip.sh:
# each sysroot (sysroots/NAME, or the tree NAME.generate.sh makes at test
# time) through rootscope-sim, each headroom machine through
# rootscope-headroom as the view and as JSON. Over the capture the program
# must print exactly the golden; a machine it cannot read at all the capture
# must refuse with the same path and reason (missing_sys, devices_loop).
set(capture ${PROJECT_SOURCE_DIR}/tools/rootscope-capture)
set(roundtrip ${CMAKE_CURRENT_SOURCE_DIR}/headroom/capture-roundtrip.sh)
set(sysroots ${CMAKE_CURRENT_SOURCE_DIR}/sysroots)

# Goldens no capture can stand for, and why:
# - status_read_fails: its fault is made inside the program (--fail-read
#   over kernel_log_range's tree); no file of the machine fails. The tree
#   goes through the capture as kernel_log_range.
# - iomem_read_fails, physical_node_stat_fails: the same, over ecam_only's
#   and kernel_log_range's trees (--fail-read, --fail-stat).
set(not_captured status_read_fails iomem_read_fails physical_node_stat_fails)

file(GLOB outputs RELATIVE ${sysroots} CONFIGURE_DEPENDS ${sysroots}/*.out)
foreach(output IN LISTS outputs)
    string(REGEX REPLACE "\\.out$" "" name ${output})
    if(name IN_LIST not_captured)
        continue()
    endif()
    if(EXISTS ${sysroots}/${name}.generate.sh)
        # As the golden run finds it: made by its setup test.
        set(machine ${generated_sysroots}/${name})
    elseif(IS_DIRECTORY ${sysroots}/${name})
        set(machine ${sysroots}/${name})
    else()
        message(FATAL_ERROR "sysroots/${output} has no machine: capture it, or say in capture.cmake why not")
    endif()
    add_test(NAME capture.sysroot.${name}
        COMMAND ${roundtrip} ${capture} ${machine} ${CMAKE_CURRENT_BINARY_DIR}/capture/sysroot.${name}
            $<TARGET_FILE:rootscope-sim> ${sysroots}/${name}.out -)
    # A copy's run is the golden's run over the same bytes: the sanitized
    # build, which runs every golden, leaves the copies out (label "copy").
    set_tests_properties(capture.sysroot.${name} PROPERTIES LABELS copy)
    if(EXISTS ${sysroots}/${name}.generate.sh)
        set_tests_properties(capture.sysroot.${name} PROPERTIES FIXTURES_REQUIRED sysroot.${name})
    endif()
endforeach()

file(GLOB views RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/headroom CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/headroom/*.view)
foreach(view IN LISTS views)
    string(REGEX REPLACE "\\.view$" "" name ${view})
    set(machine ${CMAKE_CURRENT_SOURCE_DIR}/headroom/${name})
    if(NOT IS_DIRECTORY ${machine})
        set(machine ${sysroots}/${name})  # a machine a sysroot golden shares
    endif()
    set(expected ${CMAKE_CURRENT_SOURCE_DIR}/headroom/${name})
    add_test(NAME capture.headroom.${name}
        COMMAND ${roundtrip} ${capture} ${machine} ${CMAKE_CURRENT_BINARY_DIR}/capture/headroom.${name}
            $<TARGET_FILE:rootscope-headroom> ${expected}.view - ${expected}.json --json)
    set_tests_properties(capture.headroom.${name} PROPERTIES LABELS copy)
endforeach()

# What the capture does with what it cannot copy as it is: one case a test
# (capture/cases.sh), over a copy of laptop_thunderbolt. Those run as an
# unprivileged user are skipped where there is none to run as.
foreach(case no_sys output_not_a_directory output_not_writable unreadable_attribute closed_kernel_log
        unreadable_power dangling_physical_node long_attribute fifo_attribute unreadable_resource resize_of_no_bar
        long_resource entries_not_read iomem_addresses_elsewhere)
    add_test(NAME capture.case.${case}
        COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/capture/cases.sh ${case} ${capture}
            ${CMAKE_CURRENT_SOURCE_DIR}/headroom/laptop_thunderbolt ${CMAKE_CURRENT_BINARY_DIR}/capture/case.${case}
            $<TARGET_FILE:rootscope-sim> $<TARGET_FILE:rootscope-headroom>)
    set_tests_properties(capture.case.${case} PROPERTIES SKIP_RETURN_CODE 77)
endforeach()

# The capture's own readings of the kernel log, /proc/iomem, /proc/ioports
# and resource files, held line by line to the programs' parsers.
add_executable(capture-parsers capture/parsers.cpp)
target_link_libraries(capture-parsers PRIVATE rootscope_core)
rootscope_warnings(capture-parsers)
add_test(NAME capture.parsers
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/capture/parsers.sh ${capture} $<TARGET_FILE:capture-parsers>
        ${CMAKE_CURRENT_BINARY_DIR}/capture/parsers)

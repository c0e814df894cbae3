# SPDX-License-Identifier: MIT
# Makes the GENERATOR package of a build tree with CPACK and CONFIG into OUT
# and lists it with LISTER (unzip or dpkg-deb): its files must be EXPECTED,
# no more and no fewer, under the package's top directory for a ZIP; a
# Debian package must also name itself rootscope at VERSION. EXPECTED is a
# comma-separated list.
cmake_policy(VERSION 3.25)
string(REPLACE "," ";" EXPECTED "${EXPECTED}")
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${CPACK} --config ${CONFIG} -G ${GENERATOR} -B ${OUT}
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output
    RESULT_VARIABLE exit_code)
if(NOT exit_code STREQUAL "0")
    message(FATAL_ERROR "cpack failed:\n${output}")
endif()

if(GENERATOR STREQUAL "ZIP")
    file(GLOB package ${OUT}/*.zip)
    execute_process(COMMAND ${LISTER} -Z1 ${package} OUTPUT_VARIABLE listing RESULT_VARIABLE exit_code)
    string(REPLACE "\n" ";" entries "${listing}")
    list(FILTER entries EXCLUDE REGEX "/$|^$")
    get_filename_component(top ${package} NAME)
    string(REGEX REPLACE "\\.zip$" "" top "${top}")
    list(TRANSFORM EXPECTED PREPEND "${top}/")
elseif(GENERATOR STREQUAL "DEB")
    file(GLOB package ${OUT}/*.deb)
    execute_process(COMMAND ${LISTER} -c ${package} OUTPUT_VARIABLE listing RESULT_VARIABLE exit_code)
    string(REPLACE "\n" ";" lines "${listing}")
    set(entries "")
    foreach(line IN LISTS lines)
        # Regular files only: "-rwxr-xr-x root/root 1234 2024-01-01 00:00 ./usr/bin/rootscope"
        if(line MATCHES "^-.* ([^ ]+)$")
            list(APPEND entries ${CMAKE_MATCH_1})
        endif()
    endforeach()
    foreach(field_value "Package=rootscope" "Version=${VERSION}" "Suggests=prometheus-node-exporter")
        string(REPLACE "=" ";" pair "${field_value}")
        list(GET pair 0 field)
        list(GET pair 1 value)
        execute_process(COMMAND ${LISTER} -f ${package} ${field} OUTPUT_VARIABLE actual OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT actual STREQUAL value)
            message(FATAL_ERROR "${package}: ${field} is '${actual}', expected '${value}'")
        endif()
    endforeach()
else()
    message(FATAL_ERROR "no check for generator ${GENERATOR}")
endif()
if(NOT exit_code STREQUAL "0")
    message(FATAL_ERROR "${LISTER} could not list ${package}")
endif()

list(SORT entries)
list(SORT EXPECTED)
if(NOT entries STREQUAL EXPECTED)
    message(FATAL_ERROR "${package} holds:\n  ${entries}\nexpected:\n  ${EXPECTED}")
endif()
message(STATUS "${package}: ${entries}")

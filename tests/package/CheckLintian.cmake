# SPDX-License-Identifier: MIT
# Runs lintian, Debian's package checker, over the one Debian package in
# OUT with LINTIAN: any error (E:) or warning (W:) fails, and so does a
# lintian that cannot check the package. Informational tags are printed.
cmake_policy(VERSION 3.25)
file(GLOB package ${OUT}/*.deb)
list(LENGTH package count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "${OUT}: ${count} Debian packages, expected one: ${package}")
endif()

# No configuration files: the check is the same for whoever runs it.
execute_process(COMMAND ${LINTIAN} --no-cfg --display-info --fail-on error,warning ${package}
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors
    RESULT_VARIABLE exit_code)
string(REGEX MATCHALL "(^|\n)[EW]: [^\n]*" failures "${output}")
if(failures OR NOT exit_code STREQUAL "0")
    # Printed as lintian wrote it, one tag a line, before the error.
    message("${output}${errors}")
    message(FATAL_ERROR "lintian: exit code ${exit_code}; its report on ${package} is above")
endif()
message(STATUS "lintian ${package}: no errors, no warnings\n${output}")

# SPDX-License-Identifier: MIT
# Runs one golden case: rootscope-sim MODE INPUT SIM_ARGS with standard input
# at end of file; the report must equal EXPECTED (after folding CRLF), the exit code
# EXPECTED_EXIT, and standard error must be empty (a leak would show there)
# unless EXPECTED_ERROR gives a regular expression it must match. With
# REPORT_TO the report goes to that file instead and is not compared. SIM is
# the program run, rootscope-sim or another.
set(command ${SIM} ${MODE} ${INPUT} ${SIM_ARGS})
if(EMULATOR)
    set(command ${EMULATOR} ${command})
endif()
if(CMAKE_HOST_WIN32)
    set(null_input NUL)
else()
    set(null_input /dev/null)
endif()
if(DEFINED REPORT_TO)
    set(report_to OUTPUT_FILE ${REPORT_TO})
else()
    set(report_to OUTPUT_VARIABLE actual)
endif()
execute_process(COMMAND ${command}
    INPUT_FILE ${null_input}
    ${report_to}
    ERROR_VARIABLE errors
    RESULT_VARIABLE exit_code)
if(DEFINED REPORT_TO)
    set(actual "")
    set(expected "")
else()
    string(REPLACE "\r\n" "\n" actual "${actual}")
    file(READ ${EXPECTED} expected)
    file(WRITE ${ACTUAL} "${actual}")
endif()

# ROOTSCOPE_BLESS=1 in the environment takes the actual output as expected
# from now on (look at the diff before committing it).
if(DEFINED ENV{ROOTSCOPE_BLESS} AND NOT DEFINED REPORT_TO AND NOT actual STREQUAL expected)
    file(WRITE ${EXPECTED} "${actual}")
    message(STATUS "blessed ${EXPECTED}")
    set(expected "${actual}")
endif()

set(problems "")
if(NOT exit_code STREQUAL EXPECTED_EXIT)
    string(APPEND problems "exit code ${exit_code}, expected ${EXPECTED_EXIT}\n")
endif()
if(DEFINED EXPECTED_ERROR)
    if(NOT errors MATCHES "${EXPECTED_ERROR}")
        string(APPEND problems "standard error does not match '${EXPECTED_ERROR}':\n${errors}\n")
    endif()
elseif(NOT errors STREQUAL "")
    string(APPEND problems "standard error:\n${errors}\n")
endif()
if(NOT actual STREQUAL expected)
    string(APPEND problems "report differs from ${EXPECTED}; actual report in ${ACTUAL}:\n${actual}\n")
endif()
if(NOT problems STREQUAL "")
    message(FATAL_ERROR "${problems}")
endif()

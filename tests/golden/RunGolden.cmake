# Runs one golden case: rootscope-sim MODE INPUT with standard input at end of
# file; the report must equal EXPECTED (after folding CRLF), the exit code
# EXPECTED_EXIT, and standard error must be empty (a leak would show there)
# unless EXPECTED_ERROR gives a regular expression it must match.
set(command ${SIM} ${MODE} ${INPUT})
if(EMULATOR)
    set(command ${EMULATOR} ${command})
endif()
if(CMAKE_HOST_WIN32)
    set(null_input NUL)
else()
    set(null_input /dev/null)
endif()
execute_process(COMMAND ${command}
    INPUT_FILE ${null_input}
    OUTPUT_VARIABLE actual
    ERROR_VARIABLE errors
    RESULT_VARIABLE exit_code)
string(REPLACE "\r\n" "\n" actual "${actual}")
file(READ ${EXPECTED} expected)
file(WRITE ${ACTUAL} "${actual}")

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

# SPDX-License-Identifier: MIT
# Reads PROGRAM's version block with READER (under EMULATOR when set) and
# checks every field: the file description must be DESCRIPTION, or with
# BANNER the title of the banner in that report of rootscope; the internal
# name NAME; the versions VERSION.
cmake_policy(VERSION 3.25)
set(command ${READER} ${PROGRAM})
if(EMULATOR)
    set(command ${EMULATOR} ${command})
endif()
execute_process(COMMAND ${command}
    OUTPUT_VARIABLE output
    ERROR_VARIABLE errors
    RESULT_VARIABLE exit_code)
string(REPLACE "\r\n" "\n" output "${output}")
if(NOT exit_code STREQUAL "0" OR NOT errors STREQUAL "")
    message(FATAL_ERROR "reading the version block failed (exit code ${exit_code}):\n${errors}${output}")
endif()

set(title "${DESCRIPTION}")
if(DEFINED BANNER)
    file(STRINGS ${BANNER} banner_lines REGEX "^===.*===$")
    list(GET banner_lines 0 title_line)
    string(REGEX REPLACE "^===(.*)===$" "\\1" title "${title_line}")
endif()

set(expected
    "FixedFileVersion=${VERSION}.0"
    "FixedProductVersion=${VERSION}.0"
    "FixedFileType=1"
    "Translation=040904b0"
    "CompanyName=Kestova"
    "FileDescription=${title}"
    "FileVersion=${VERSION}"
    "InternalName=${NAME}"
    "OriginalFilename=${NAME}.exe"
    "ProductName=Rootscope"
    "ProductVersion=${VERSION}")
string(REPLACE ";" "\n" expected "${expected}")
string(STRIP "${output}" output)
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "version block of ${PROGRAM}:\n${output}\n\nexpected:\n${expected}")
endif()
message(STATUS "version block of ${PROGRAM}:\n${output}")

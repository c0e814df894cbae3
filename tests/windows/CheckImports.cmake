# SPDX-License-Identifier: MIT
# PROGRAM must be a 64-bit console program that imports only DLLs every
# Windows installation has: the C++ and GCC runtimes linked in, not beside it.
# The configuration-manager calls may resolve to SETUPAPI.dll, which exports
# them too, or to CFGMGR32.dll.
cmake_policy(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM}
    OUTPUT_VARIABLE headers
    RESULT_VARIABLE exit_code)
if(NOT exit_code STREQUAL "0")
    message(FATAL_ERROR "${OBJDUMP} -p ${PROGRAM} failed")
endif()

set(problems "")
if(NOT headers MATCHES "Magic[ \t]+020b")
    string(APPEND problems "not a PE32+ (64-bit) image\n")
endif()
if(NOT headers MATCHES "Subsystem[ \t]+00000003")
    string(APPEND problems "not a console (CUI) program\n")
endif()

# The system DLLs the program and its static runtimes may use.
set(allowed KERNEL32.dll msvcrt.dll SETUPAPI.dll CFGMGR32.dll ADVAPI32.dll USER32.dll)
string(TOLOWER "${allowed}" allowed)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${headers}")
set(names "")
foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" name "${import}")
    string(STRIP "${name}" name)
    list(APPEND names ${name})
    string(TOLOWER "${name}" lower)
    if(NOT lower IN_LIST allowed)
        string(APPEND problems "imports ${name}, which Windows does not provide\n")
    endif()
endforeach()
foreach(needed setupapi.dll)
    string(TOLOWER "${names}" lower_names)
    if(NOT needed IN_LIST lower_names)
        string(APPEND problems "does not import ${needed}\n")
    endif()
endforeach()
if(NOT problems STREQUAL "")
    message(FATAL_ERROR "${PROGRAM}:\n${problems}imports: ${names}")
endif()
message(STATUS "${PROGRAM} imports: ${names}")

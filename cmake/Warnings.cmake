# SPDX-License-Identifier: MIT
# Warnings on for the project's own targets, as errors unless turned off.
function(rootscope_warnings target)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 /permissive-)
        # The C library's portable calls (strcpy, fopen...) stay in use; the
        # "_s" replacements MSVC would have instead exist nowhere else.
        target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
        if(ROOTSCOPE_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
            -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wformat=2)
        if(ROOTSCOPE_WARNINGS_AS_ERRORS)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
        # GCC 12 warns of overlapping copies inside libstdc++'s own string
        # concatenation at -O2 (a false positive fixed in GCC 13), which
        # would make any "text" + std::string an error in optimised builds.
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
           AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
            target_compile_options(${target} PRIVATE -Wno-restrict)
        endif()
        # Raising sites record their file relative to the source tree.
        target_compile_options(${target} PRIVATE "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/=")
    endif()
endfunction()

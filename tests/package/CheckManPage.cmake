# SPDX-License-Identifier: MIT
# Checks that a program's help text and its manual page list the same
# options. PROGRAM run with OPTION must exit with 0 and print the help; PAGE
# is the page's roff source.
#
# In the help, the options are the words starting with "-" in the option
# column of each indented line that starts with "-": "  -l, --limit N   ..."
# gives -l and --limit (the column ends at the first two spaces or tab). In
# the page, they are the same words in the tag line of each .TP paragraph of
# the OPTIONS section, with "\-" read as "-" and font changes dropped; what
# the paragraphs' text mentions does not count.
cmake_policy(VERSION 3.25)

# Every word of TEXT that is an option: "-" or "--" then a letter or digit,
# at the start or after a space, comma, "[" or "|".
function(options_in text out)
    string(REGEX MATCHALL "(^|[ ,[|])--?[A-Za-z0-9][-A-Za-z0-9]*" words "${text}")
    list(TRANSFORM words REPLACE "^[^-]+" "")
    set(${out} ${words} PARENT_SCOPE)
endfunction()

execute_process(COMMAND ${PROGRAM} ${OPTION}
    OUTPUT_VARIABLE help
    ERROR_VARIABLE error
    RESULT_VARIABLE exit_code)
if(NOT exit_code STREQUAL "0")
    message(FATAL_ERROR "${PROGRAM} ${OPTION}: exit code ${exit_code}\n${error}")
endif()
string(REPLACE ";" " " help "${help}")
string(REPLACE "\n" ";" help "${help}")
set(in_help "")
foreach(line IN LISTS help)
    if(line MATCHES "^[ \t]+(-[^\t]*)")
        string(REGEX REPLACE "(  |\t).*$" "" column "${CMAKE_MATCH_1}")
        options_in("${column}" words)
        list(APPEND in_help ${words})
    endif()
endforeach()
if(NOT OPTION IN_LIST in_help)
    message(FATAL_ERROR "${PROGRAM} ${OPTION}: the help lists no ${OPTION}, so its option column was not read:\n${help}")
endif()

file(READ ${PAGE} page)
string(REPLACE ";" " " page "${page}")
string(REPLACE "\n" ";" page "${page}")
set(in_page "")
set(section "")
set(tag_line FALSE)
foreach(line IN LISTS page)
    if(line MATCHES "^\\.SH +\"?([^\"]*)\"?$")
        set(section "${CMAKE_MATCH_1}")
        set(tag_line FALSE)
    elseif(section STREQUAL "OPTIONS" AND tag_line)
        set(tag_line FALSE)
        string(REPLACE "\\-" "-" line "${line}")
        string(REGEX REPLACE "\\\\f(\\(..|\\[[^]]*\\]|.)" "" line "${line}")
        string(REGEX REPLACE "^\\.[A-Za-z]+" "" line "${line}")
        string(REPLACE "\"" " " line "${line}")
        options_in("${line}" words)
        list(APPEND in_page ${words})
    elseif(section STREQUAL "OPTIONS" AND line MATCHES "^\\.TP")
        set(tag_line TRUE)
    endif()
endforeach()

set(only_in_help "")
foreach(word IN LISTS in_help)
    if(NOT word IN_LIST in_page)
        list(APPEND only_in_help ${word})
    endif()
endforeach()
set(only_in_page "")
foreach(word IN LISTS in_page)
    if(NOT word IN_LIST in_help)
        list(APPEND only_in_page ${word})
    endif()
endforeach()
list(JOIN only_in_help " " only_in_help)
list(JOIN only_in_page " " only_in_page)
if(NOT only_in_help STREQUAL "" OR NOT only_in_page STREQUAL "")
    message(FATAL_ERROR "${PAGE} and ${PROGRAM} ${OPTION} disagree:\n"
        "  in the help only: ${only_in_help}\n"
        "  in the page only: ${only_in_page}")
endif()
list(JOIN in_help " " in_help)
message(STATUS "${PAGE} and ${PROGRAM} ${OPTION} list the same options: ${in_help}")

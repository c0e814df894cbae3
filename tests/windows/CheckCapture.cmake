# SPDX-License-Identifier: MIT
# rootscope-headroom.exe --capture under Wine: exit 0, one line on standard
# output, nothing on standard error, and a fixture that the native
# rootscope-headroom-sim (REPLAY, when the calling build has one) replays
# as EXPECTED, the report of the same machine. Wine keeps no HackFlags
# value, and its RegGetValueA says so (ERROR_FILE_NOT_FOUND): the fixture
# has no "hack_flags", where any other answer would give "unreadable".
# The file is named relative to WORK, where the program runs, since a
# Windows program would read an absolute Unix path on its own drive.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --capture machine.json
    WORKING_DIRECTORY ${WORK} INPUT_FILE /dev/null
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE code)
if(NOT code EQUAL 0 OR NOT err STREQUAL "" OR
   NOT out MATCHES "^Wrote [0-9]+ device nodes? with [0-9]+ root bridges? to machine.json.\r?\n$")
    message(FATAL_ERROR "--capture gave exit ${code}, output:\n${out}\nstandard error:\n${err}")
endif()
file(READ ${WORK}/machine.json captured)
if(NOT captured MATCHES "\"nodes\": \\[" OR captured MATCHES "hack_flags")
    message(FATAL_ERROR "the capture is not what Wine's database holds:\n${captured}")
endif()
if(NOT REPLAY)
    message(STATUS "no native rootscope-headroom-sim to replay the capture with")
    return()
endif()
execute_process(COMMAND ${REPLAY} --tree ${WORK}/machine.json INPUT_FILE /dev/null
    OUTPUT_VARIABLE replayed ERROR_VARIABLE err RESULT_VARIABLE code)
file(READ ${EXPECTED} expected)
if(NOT code EQUAL 0 OR NOT err STREQUAL "" OR NOT replayed STREQUAL expected)
    message(FATAL_ERROR "the replay gave exit ${code}, standard error:\n${err}\nand:\n${replayed}\nnot:\n${expected}")
endif()

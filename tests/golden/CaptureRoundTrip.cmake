# SPDX-License-Identifier: MIT
# A Windows device tree through rootscope-headroom-sim --capture and back:
# the capture of TREE, replayed with --tree, must give the view and the JSON
# that TREE gives, byte for byte, with the same standard error and exit
# code; captured again, it must come out unchanged. A tree the reader fails
# on fails the capture with the reader's line and exit code, and its file
# replays to the same. WORK is a directory of this test's own in the build
# tree.
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
set(captured ${WORK}/captured.json)
if(CMAKE_HOST_WIN32)
    set(null_input NUL)
else()
    set(null_input /dev/null)
endif()

# Runs SIM with the arguments after `prefix` into prefix_out, _err, _exit.
function(run prefix)
    execute_process(COMMAND ${SIM} ${ARGN} INPUT_FILE ${null_input}
        OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE code)
    set(${prefix}_out "${out}" PARENT_SCOPE)
    set(${prefix}_err "${err}" PARENT_SCOPE)
    set(${prefix}_exit "${code}" PARENT_SCOPE)
endfunction()

function(same what expected actual)
    if(NOT "${expected}" STREQUAL "${actual}")
        message(FATAL_ERROR "${what} differs:\n--- from ${TREE}\n${expected}\n--- from its capture\n${actual}")
    endif()
endfunction()

run(view --tree ${TREE})
run(capture --tree ${TREE} --capture ${captured})
file(GLOB left ${WORK}/*.partial-*)
if(left)
    message(FATAL_ERROR "the capture left ${left}")
endif()
# A tree the reader fails on is captured all the same, and the capture
# fails as the reading does, with its line; the file replays that failure.
same("the capture's exit code" "${view_exit}" "${capture_exit}")
if(capture_exit EQUAL 0)
    if(NOT capture_err STREQUAL "" OR
       NOT capture_out MATCHES "^Wrote [0-9]+ device nodes? with [0-9]+ root bridges? to ")
        message(FATAL_ERROR "the capture said: ${capture_out}${capture_err}")
    endif()
else()
    same("the capture's standard error" "${view_err}" "${capture_err}")
    same("the capture's standard output" "" "${capture_out}")
endif()
if(NOT EXISTS ${captured})
    message(FATAL_ERROR "the capture wrote no ${captured}")
endif()

run(json --json --tree ${TREE})
run(replayed_view --tree ${captured})
run(replayed_json --json --tree ${captured})
foreach(form view json)
    same("the ${form}'s exit code" "${${form}_exit}" "${replayed_${form}_exit}")
    same("the ${form}" "${${form}_out}" "${replayed_${form}_out}")
    same("the ${form}'s standard error" "${${form}_err}" "${replayed_${form}_err}")
endforeach()

run(again --tree ${captured} --capture ${WORK}/again.json)
same("the exit code of a capture of the capture" "${capture_exit}" "${again_exit}")
file(READ ${captured} first)
file(READ ${WORK}/again.json second)
same("a capture of the capture" "${first}" "${second}")

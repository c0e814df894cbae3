# The hand-made machines (make-sysroots.sh) and this machine's capture.
foreach(name laptop_thunderbolt two_socket_server vmd_domain sriov_virtual_bus kernel_before_4_13
        firmware_problems ecam_range_only slots_without_port vm_hotplug_slots slot_corner_cases
        thunderbolt_egpu desktop_rebar two_root_server no_window_above_4g kernel_log_closed old_format_failures
        resource_layouts)
    rootscope_headroom_golden(${name})
endforeach()
# This machine, as tools/rootscope-capture copied it; rootscope reads it too
# (sysroots/cases.cmake).
rootscope_headroom_golden(this_vm_capture sysroots)
# The root bridge's announcement and a narrower root bus resource line: the
# announcement wins, as it does for rootscope.
rootscope_headroom_golden(announcement_wins sysroots)

# The command line: help and version on standard output, usage errors with
# exit 2 and nothing on standard output, a machine that cannot be read with
# exit 1 and one line naming what and why.
set(empty ${CMAKE_CURRENT_SOURCE_DIR}/empty.out)
set(usage "^rootscope-headroom: [^\n]*\nUsage: rootscope-headroom \\[--json \\| --prometheus\\] \\[--sysroot DIR\\]\nTry 'rootscope-headroom --help' for more information.\n$")
rootscope_headroom_run(headroom.help ${CMAKE_CURRENT_SOURCE_DIR}/headroom/help.out 0 ARGS --help)
rootscope_headroom_run(headroom.version ${CMAKE_CURRENT_SOURCE_DIR}/headroom/version.out 0 ARGS --version)
rootscope_headroom_run(headroom.refuses.unknown_option ${empty} 2 ARGS --jsn ERROR "${usage}")
rootscope_headroom_run(headroom.refuses.stray_argument ${empty} 2 ARGS --json extra ERROR "${usage}")
rootscope_headroom_run(headroom.refuses.twice ${empty} 2 ARGS --json --json ERROR "${usage}")
rootscope_headroom_run(headroom.refuses.json_and_prometheus ${empty} 2 ARGS --json --prometheus ERROR "${usage}")
rootscope_headroom_run(headroom.refuses.sysroot_without_directory ${empty} 2 ARGS --sysroot ERROR "${usage}")
# --capture is Windows' (and the harness's, over a tree): the Linux program
# does not know it. In the harness it takes one file, no format, and a tree.
rootscope_headroom_run(headroom.refuses.capture_on_linux ${empty} 2 ARGS --capture machine.json ERROR "${usage}")
set(sim_usage "^rootscope-headroom-sim: [^\n]*\nUsage: rootscope-headroom-sim [^\n]*\nTry [^\n]*\n$")
set(laptop ${CMAKE_CURRENT_SOURCE_DIR}/headroom/trees/laptop_thunderbolt.json)
set(never ${CMAKE_CURRENT_BINARY_DIR}/capture-refused.json)
foreach(refused
        "without_value|--tree|${laptop}|--capture"
        "twice|--tree|${laptop}|--capture|${never}|--capture|${never}"
        "with_json|--json|--tree|${laptop}|--capture|${never}"
        "with_prometheus|--tree|${laptop}|--capture|${never}|--prometheus"
        "with_sysroot|--sysroot|${CMAKE_CURRENT_SOURCE_DIR}/headroom/laptop_thunderbolt|--capture|${never}"
        "without_tree|--capture|${never}")
    string(REPLACE "|" ";" arguments "${refused}")
    list(POP_FRONT arguments case)
    rootscope_headroom_run(headroom.refuses.capture_${case} ${empty} 2 PROGRAM rootscope-headroom-sim
        ARGS ${arguments} ERROR "${sim_usage}")
endforeach()
# A file that cannot be written: exit 1, one line, nothing left behind (a
# missing directory; a full disk, which /dev/full stands for).
rootscope_headroom_run(headroom.unwritable.capture_directory_missing ${empty} 1 PROGRAM rootscope-headroom-sim
    ARGS --tree ${laptop} --capture ${CMAKE_CURRENT_BINARY_DIR}/no-such-directory/machine.json
    ERROR "^rootscope-headroom-sim: cannot write [^\n]*/no-such-directory/machine.json: No such file or directory\n$")
if(EXISTS /dev/full)
    rootscope_headroom_run(headroom.unwritable.capture_disk_full ${empty} 1 PROGRAM rootscope-headroom-sim
        ARGS --tree ${laptop} --capture /dev/full
        ERROR "^rootscope-headroom-sim: cannot write /dev/full: No space left on device\n$")
endif()
rootscope_headroom_run(headroom.refuses.sysroot_not_a_directory ${empty} 2
    ARGS --sysroot ${CMAKE_CURRENT_SOURCE_DIR}/bad/no-such-sysroot
    ERROR "^rootscope-headroom: [^\n]*no-such-sysroot: not a directory\n")
rootscope_headroom_run(headroom.unreadable.missing_sys ${empty} 1
    ARGS --sysroot ${CMAKE_CURRENT_SOURCE_DIR}/sysroots/missing_sys
    ERROR "^rootscope-headroom: cannot read [^\n]*/missing_sys/sys: No such file or directory\n$")
# A PCI list that loops is a machine that cannot be read, not one without
# functions or slots.
foreach(list devices slots)
    rootscope_headroom_run(headroom.unreadable.pci_${list}_loop ${empty} 1
        ARGS --json --sysroot ${CMAKE_CURRENT_SOURCE_DIR}/headroom/pci_${list}_loop
        ERROR "^rootscope-headroom: cannot read [^\n]*/pci_${list}_loop/sys/bus/pci/${list}: Too many levels of symbolic links\n$")
endforeach()
# For a metrics collector the failure is a gauge too: read_success 0 alone.
rootscope_headroom_run(headroom.unreadable.prometheus ${CMAKE_CURRENT_SOURCE_DIR}/headroom/unreadable.prom 1
    ARGS --prometheus --sysroot ${CMAKE_CURRENT_SOURCE_DIR}/headroom/pci_devices_loop
    ERROR "^rootscope-headroom: cannot read [^\n]*/pci_devices_loop/sys/bus/pci/devices: Too many levels of symbolic links\n$")
rootscope_headroom_run(headroom.unreadable.sys_devices_loop ${empty} 1
    ARGS --sysroot ${CMAKE_CURRENT_SOURCE_DIR}/headroom/sys_devices_loop
    ERROR "^rootscope-headroom: cannot read [^\n]*/sys_devices_loop/sys/devices: Too many levels of symbolic links\n$")
rootscope_headroom_run(headroom.unreadable.devices_loop ${empty} 1
    ARGS --json --sysroot ${CMAKE_CURRENT_SOURCE_DIR}/sysroots/devices_loop
    ERROR "^rootscope-headroom: cannot read [^\n]*/devices_loop/sys/bus/acpi/devices: Too many levels of symbolic links\n$")

# --prometheus against --json on every machine above and every Windows tree
# (headroom/trees), value by value; and promtool's lint of each output,
# skipped where promtool (Debian package prometheus) is missing.
find_program(ROOTSCOPE_PYTHON3 python3)
if(ROOTSCOPE_PYTHON3)
    foreach(check agree promtool)
        add_test(NAME headroom.prometheus.${check}
            COMMAND ${ROOTSCOPE_PYTHON3} ${CMAKE_CURRENT_SOURCE_DIR}/headroom/check-metrics.py ${check}
                $<TARGET_FILE:rootscope-headroom> $<TARGET_FILE:rootscope-headroom-sim> ${CMAKE_CURRENT_SOURCE_DIR})
        set_tests_properties(headroom.prometheus.${check} PROPERTIES SKIP_RETURN_CODE 77)
    endforeach()
endif()

# The captures of these machines and of the sysroots (capture.cmake).
include(${CMAKE_CURRENT_SOURCE_DIR}/capture.cmake)

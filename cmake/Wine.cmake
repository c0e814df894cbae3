# SPDX-License-Identifier: MIT
# A cross build for Windows runs its programs (tests, golden runs) under
# Wine, through a wrapper that gives this build tree a Wine prefix of its own.
# Without Wine the programs are still built, and the tests that would run
# them show as skipped.
if(NOT (CMAKE_CROSSCOMPILING AND WIN32) OR CMAKE_CROSSCOMPILING_EMULATOR)
    return()
endif()

# Debian's wine64 alone installs its loader outside PATH.
find_program(ROOTSCOPE_WINE NAMES wine wine64 PATHS /usr/lib/wine)
if(NOT ROOTSCOPE_WINE)
    message(STATUS "Wine not found: the Windows programs are built but not run")
    return()
endif()

find_program(ROOTSCOPE_WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine)
if(NOT ROOTSCOPE_WINESERVER)
    set(ROOTSCOPE_WINESERVER "")
endif()

set(ROOTSCOPE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(ROOTSCOPE_WINE_RETRIES_LOG ${CMAKE_BINARY_DIR}/wine-retries.log)
configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

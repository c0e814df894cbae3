# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64).
#
# The posix-threads variant of the compiler is used: its C++ library has
# std::thread and std::mutex, which the win32 variant of GCC 12 lacks. Its
# threading runtime (winpthread), like the C++ and GCC runtimes, is linked
# statically, so rootscope.exe needs nothing beyond the DLLs of Windows itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ROOTSCOPE_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${ROOTSCOPE_MINGW_TRIPLE}-gcc-posix ${ROOTSCOPE_MINGW_TRIPLE}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${ROOTSCOPE_MINGW_TRIPLE}-g++-posix ${ROOTSCOPE_MINGW_TRIPLE}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${ROOTSCOPE_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW-w64 tree only; programs run on
# the build machine come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ROOTSCOPE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

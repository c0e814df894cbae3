# SPDX-License-Identifier: MIT
# rootscope.exe is a 64-bit program. On 64-bit Windows the configuration
# manager answers a 32-bit program's log-configuration and resource-descriptor
# calls with CR_CALL_NOT_IMPLEMENTED, so a 32-bit build could read no
# bus-number range at all. Stop at configure time rather than ship that.
if(WIN32 AND NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    message(FATAL_ERROR
        "rootscope is built for 64-bit Windows only: a 32-bit program on 64-bit Windows cannot read "
        "resource descriptors (CR_CALL_NOT_IMPLEMENTED). Use the x86_64 MinGW-w64 toolchain or -A x64.")
endif()

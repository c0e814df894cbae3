# SPDX-License-Identifier: MIT
# Run by CPack over its staging tree of the Debian package before it packs
# it, to leave what Debian's own packaging tools would leave:
# - every directory has mode 0755. An install creates directories with
#   CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS less the umask, so a builder
#   whose umask is 077 would otherwise ship directories nobody else may read;
# - the compiled programs lose the compiler's identification (.comment)
#   and the .note section, which CPack's strip keeps: CPACK_ROOTSCOPE_STRIP
#   is the strip program and CPACK_ROOTSCOPE_BINDIR the programs' directory
#   under the installation prefix.
cmake_policy(VERSION 3.25)
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")

file(GLOB_RECURSE entries LIST_DIRECTORIES true "${root}/*")
set(directories "${root}")
foreach(entry IN LISTS entries)
    if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
        list(APPEND directories "${entry}")
    endif()
endforeach()
file(CHMOD ${directories}
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

file(GLOB programs "${root}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_ROOTSCOPE_BINDIR}/*")
if(NOT programs)
    message(FATAL_ERROR "no programs in ${root}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_ROOTSCOPE_BINDIR}")
endif()
foreach(program IN LISTS programs)
    # A script (rootscope-capture) has nothing to strip.
    file(READ "${program}" magic LIMIT 4 HEX)
    if(NOT magic STREQUAL "7f454c46")
        continue()
    endif()
    execute_process(COMMAND "${CPACK_ROOTSCOPE_STRIP}" --remove-section=.comment --remove-section=.note "${program}"
        RESULT_VARIABLE exit_code
        ERROR_VARIABLE error)
    if(NOT exit_code STREQUAL "0")
        message(FATAL_ERROR "${CPACK_ROOTSCOPE_STRIP} could not strip ${program}: ${exit_code} ${error}")
    endif()
endforeach()

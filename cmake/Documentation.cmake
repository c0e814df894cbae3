# SPDX-License-Identifier: MIT
# The documentation installed beside the programs outside Windows: manual
# pages and the Debian package's changelog. Both are compressed as Debian
# wants them: gzip at its best, with no file name or time stamp in the
# header, so that two builds give the same bytes.
include(GNUInstallDirs)
if(NOT WIN32)
    find_program(ROOTSCOPE_GZIP gzip REQUIRED)
endif()

# rootscope_compressed_doc(SOURCE OUTPUT DESTINATION DIR [CONFIGURE])
# Copies SOURCE to OUTPUT in the build tree (with CONFIGURE, replacing its
# @VARIABLE@ references), compresses that to OUTPUT.gz in the default build
# and installs OUTPUT.gz in DIR.
function(rootscope_compressed_doc source output)
    cmake_parse_arguments(PARSE_ARGV 2 doc "CONFIGURE" "DESTINATION" "")
    if(doc_CONFIGURE)
        configure_file(${source} ${output} @ONLY)
    else()
        configure_file(${source} ${output} COPYONLY)
    endif()
    # gzip gives its output the input's time stamp, which would leave the
    # output looking no newer than its input; the touch makes it so.
    add_custom_command(OUTPUT ${output}.gz
        COMMAND ${ROOTSCOPE_GZIP} -9nkf ${output}
        COMMAND ${CMAKE_COMMAND} -E touch ${output}.gz
        DEPENDS ${output}
        VERBATIM)
    get_filename_component(name ${output} NAME)
    add_custom_target(rootscope_doc_${name} ALL DEPENDS ${output}.gz)
    install(FILES ${output}.gz DESTINATION ${doc_DESTINATION})
endfunction()

# rootscope_man_page(PROGRAM [HELP_OPTION OPTION])
# The manual page of an installed program, doc/PROGRAM.1.in (PROJECT_VERSION
# and the like as @VARIABLE@), installed in section 1 outside Windows. For a
# program with a help option, HELP_OPTION names it; a test then checks that
# the page's OPTIONS section and the help text list the same options
# (tests/package/CheckManPage.cmake).
function(rootscope_man_page program)
    cmake_parse_arguments(PARSE_ARGV 1 page "" "HELP_OPTION" "")
    if(WIN32)
        return()
    endif()
    set(output ${PROJECT_BINARY_DIR}/doc/${program}.1)
    rootscope_compressed_doc(${PROJECT_SOURCE_DIR}/doc/${program}.1.in ${output} CONFIGURE
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    if(DEFINED page_HELP_OPTION)
        set_property(GLOBAL APPEND PROPERTY ROOTSCOPE_MAN_PAGES_WITH_HELP "${program}|${page_HELP_OPTION}|${output}")
    endif()
endfunction()

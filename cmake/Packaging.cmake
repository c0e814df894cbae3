# SPDX-License-Identifier: MIT
# Packages of what `cmake --install` installs: a ZIP for Windows, a Debian
# package elsewhere. Make them with `cpack` in a build tree, or with the
# package presets.
set(CPACK_PACKAGE_NAME rootscope)
set(CPACK_PACKAGE_VENDOR "Kestova")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Laid out as the Debian package shows it: lines of at most 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
"Tells whether this PC's PCI tree can take more PCI Express expansion chassis.
Such chassis need PCI bus numbers, and two facts of the host decide how many
it can give: whether the PCI tree hangs from more than one root bus, and
whether the firmware limited the range of bus numbers a root bus may hand out.
rootscope counts the running PCI and PCI Express root bridges, reads each
one's firmware-assigned bus-number range from sysfs, the kernel log and
/proc/iomem, and prints a plain-text report. rootscope-headroom shows how
many of each root bus's numbers the PCI tree claims and how many are left,
and which slot the next chassis should go into; rootscope-capture copies
what both read of a machine, for a bug report.")
# A cache entry of its own: a build tree configured when the maintainer was
# a bare name keeps its CPACK_PACKAGE_CONTACT entry, which this shadows.
set(ROOTSCOPE_PACKAGE_MAINTAINER "Kestova Rootscope Maintainers <rootscope@kestova.com>"
    CACHE STRING "Maintainer named in the packages, as: name <address>")
set(CPACK_PACKAGE_CONTACT "${ROOTSCOPE_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    # The timer writes for the node exporter's textfile collector, and is
    # of no use without it; the programs are.
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS prometheus-node-exporter)
    set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageStaging.cmake)
    set(CPACK_ROOTSCOPE_STRIP "${CMAKE_STRIP}")
    set(CPACK_ROOTSCOPE_BINDIR "${CMAKE_INSTALL_BINDIR}")
    find_program(ROOTSCOPE_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(ROOTSCOPE_DPKG_SHLIBDEPS)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    else()
        # What a program built with g++ links against.
        set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
    endif()

    # What a Debian package carries beside the program, in
    # /usr/share/doc/rootscope: the copyright notice in Debian's
    # machine-readable form, made from LICENSE, and the changelog, which for
    # a package of its own upstream (a version without a Debian revision) is
    # changelog.gz.
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(.+)$")
        message(FATAL_ERROR "LICENSE: no \"Copyright (c) ...\" line followed by the licence text")
    endif()
    set(ROOTSCOPE_COPYRIGHT "${CMAKE_MATCH_1}")
    # A field's continuation lines start with a space; an empty one is " .".
    string(STRIP "${CMAKE_MATCH_2}" license)
    string(REPLACE "\n" ";" license "${license}")
    set(lines "")
    foreach(line IN LISTS license)
        if(line STREQUAL "")
            set(line ".")
        endif()
        list(APPEND lines " ${line}")
    endforeach()
    list(JOIN lines "\n" ROOTSCOPE_LICENSE_TEXT)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

    # The changelog's newest entry is this version.
    file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog newest LIMIT_COUNT 1)
    if(NOT newest MATCHES "^${PROJECT_NAME} \\(${PROJECT_VERSION}\\) ")
        message(FATAL_ERROR "packaging/debian/changelog: the newest entry is \"${newest}\"; "
            "add one for ${PROJECT_NAME} ${PROJECT_VERSION}")
    endif()
    rootscope_compressed_doc(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${PROJECT_BINARY_DIR}/debian/changelog
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)

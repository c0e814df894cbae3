# Packages of what `cmake --install` installs: a ZIP for Windows, a Debian
# package elsewhere. Make them with `cpack` in a build tree, or with the
# package presets.
set(CPACK_PACKAGE_NAME rootscope)
set(CPACK_PACKAGE_VENDOR "Kestova")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Tells whether this PC's PCI tree can take more PCI Express expansion chassis: counts the root buses and reads the bus-number range the firmware assigned to each.")
set(CPACK_PACKAGE_CONTACT "Kestova" CACHE STRING "Maintainer named in the packages")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    find_program(ROOTSCOPE_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(ROOTSCOPE_DPKG_SHLIBDEPS)
        set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    else()
        # What a program built with g++ links against.
        set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
    endif()
endif()

include(CPack)

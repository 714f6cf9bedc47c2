# Installs the manual pages next to the binaries and describes the Debian package that
# scripts/package builds with cpack.
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/docs/seqmend.1 ${PROJECT_SOURCE_DIR}/docs/eolmend.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME seqmend)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "seqmend developers")
set(CPACK_PACKAGE_CONTACT "seqmend developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "repair damaged Standard MIDI Files (seqmend) and undo text-mode transfers (eolmend)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "seqmend developers")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# The dependencies on the C and C++ runtime come from the binary itself where the tool for
# that is installed; otherwise they are named by hand.
find_program(SEQMEND_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(SEQMEND_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
include(CPack)

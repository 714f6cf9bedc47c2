# Installs the programs listed in SEQMEND_PROGRAMS with their manual pages (docs/<program>.1),
# libseqmend for the programs of others to link, and the licence, and describes the Debian
# packages that scripts/package builds with cpack.
#
# Install components: "programs" (the binaries and the manual pages), "library" (the shared
# library's runtime file, libseqmend.so.1), "development" (the header, the static library, the
# libseqmend.so link, the pkg-config file and the CMake package) and "licence" (LICENSE in the
# documentation folder) make up `cmake --install`. The packages take the programs and the
# library and, in place of LICENSE, the Debian documents (a machine-readable copyright file that
# holds the licence, and the Debian changelog) of the components "debian", "debian-runtime" and
# "debian-dev", which only the packages install.
# On a multiarch system (Debian and its derivatives) the library goes to lib/<triplet> under
# any prefix, as the packages want it and as the dynamic linker, pkg-config and find_package
# search it under /usr/local too; GNUInstallDirs alone picks it only for the prefix /usr.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_LIBRARY_ARCHITECTURE AND
   EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SEQMEND_CONTACT "seqmend developers <seqmend@users.noreply.github.com>")
set(SEQMEND_DEBIAN_DIR ${PROJECT_BINARY_DIR}/debian)

install(TARGETS ${SEQMEND_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT licence)

# libseqmend as installed: `find_package(seqmend)` gives seqmend::seqmend (the shared library)
# and seqmend::seqmend_static; pkg-config gives seqmend. A program that links the static library
# links the C++ runtime too, which a C program's link does not bring of itself: -lstdc++ and
# -lm, the libraries that the C++ compiler's own link adds.
set(SEQMEND_LIBRARY_TARGETS seqmend_static)
if(TARGET seqmend_shared)
  list(APPEND SEQMEND_LIBRARY_TARGETS seqmend_shared)
endif()
if(NOT MSVC)
  target_link_libraries(seqmend_static INTERFACE $<INSTALL_INTERFACE:stdc++> $<INSTALL_INTERFACE:m>)
endif()
install(TARGETS ${SEQMEND_LIBRARY_TARGETS} EXPORT seqmendTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
                NAMELINK_COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
install(FILES ${PROJECT_SOURCE_DIR}/include/seqmend.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT development)

set(SEQMEND_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/seqmend)
install(EXPORT seqmendTargets NAMESPACE seqmend:: DESTINATION ${SEQMEND_CMAKE_DIR}
        COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/seqmendConfig.cmake.in
  ${PROJECT_BINARY_DIR}/seqmendConfig.cmake INSTALL_DESTINATION ${SEQMEND_CMAKE_DIR})
# A program written for 1.x builds against every later 1.y; the soname changes with the major
# version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/seqmendConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/seqmendConfig.cmake
              ${PROJECT_BINARY_DIR}/seqmendConfigVersion.cmake
        DESTINATION ${SEQMEND_CMAKE_DIR} COMPONENT development)

# The pkg-config file finds the prefix from its own place, so that an installation moved as a
# whole, or installed with `cmake --install --prefix`, still names its own folders.
file(RELATIVE_PATH SEQMEND_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" SEQMEND_PC_TO_PREFIX "${SEQMEND_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/seqmend.pc.in ${PROJECT_BINARY_DIR}/seqmend.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/seqmend.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT development)

# Manual pages and the changelog are installed compressed with gzip -9n, as Debian wants them;
# man reads them so everywhere. Without gzip the pages are installed as they are.
find_program(SEQMEND_GZIP gzip)

# Compresses a copy of `source` into `folder` at build time; sets `result` to the .gz file.
function(seqmend_gzip source folder result)
  get_filename_component(name ${source} NAME)
  set(gz ${folder}/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${folder}/${name}
    COMMAND ${SEQMEND_GZIP} -9nf ${folder}/${name}
    DEPENDS ${source}
    COMMENT "Compressing ${name}")
  set(${result} ${gz} PARENT_SCOPE)
endfunction()

set(SEQMEND_COMPRESSED_DOCS)
foreach(program IN LISTS SEQMEND_PROGRAMS)
  set(page ${PROJECT_SOURCE_DIR}/docs/${program}.1)
  if(SEQMEND_GZIP)
    seqmend_gzip(${page} ${PROJECT_BINARY_DIR}/man page)  # from here on the compressed copy
    list(APPEND SEQMEND_COMPRESSED_DOCS ${page})
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT programs)
endforeach()

# The machine-readable copyright file: the licence text of LICENSE under the notice's holder.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: no copyright notice followed by the licence text")
endif()
set(SEQMEND_COPYRIGHT_HOLDER ${CMAKE_MATCH_1})
string(REGEX REPLACE "\n\n" "\n.\n" licence_text "${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " licence_text " ${licence_text}")
file(CONFIGURE OUTPUT ${SEQMEND_DEBIAN_DIR}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: @PROJECT_NAME@
Upstream-Contact: @SEQMEND_CONTACT@

Files: *
Copyright: @SEQMEND_COPYRIGHT_HOLDER@
License: Expat

License: Expat
@licence_text@
")

# The Debian changelog of this native package: one entry for the version, dated like the
# version banner (honours SOURCE_DATE_EPOCH). CHANGELOG.md has the changes.
string(TIMESTAMP SEQMEND_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(CONFIGURE OUTPUT ${SEQMEND_DEBIAN_DIR}/changelog @ONLY CONTENT
"@PROJECT_NAME@ (@PROJECT_VERSION@) unstable; urgency=medium

  * Release @PROJECT_VERSION@; its changes are listed in CHANGELOG.md of the source.

 -- @SEQMEND_CONTACT@  @SEQMEND_CHANGELOG_DATE@
")

# Every Debian package carries the two documents in a folder of its own name: the programs'
# package in the documentation folder (component "debian"), the library's packages in theirs.
set(SEQMEND_RUNTIME_PACKAGE libseqmend${PROJECT_VERSION_MAJOR})  # named after the soname
set(SEQMEND_DEBIAN_DOCS ${SEQMEND_DEBIAN_DIR}/copyright)
if(SEQMEND_GZIP)
  seqmend_gzip(${SEQMEND_DEBIAN_DIR}/changelog ${SEQMEND_DEBIAN_DIR}/doc changelog)
  list(APPEND SEQMEND_COMPRESSED_DOCS ${changelog})
  list(APPEND SEQMEND_DEBIAN_DOCS ${changelog})
endif()
install(FILES ${SEQMEND_DEBIAN_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${SEQMEND_DEBIAN_DOCS}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${SEQMEND_RUNTIME_PACKAGE}
        COMPONENT debian-runtime EXCLUDE_FROM_ALL)
install(FILES ${SEQMEND_DEBIAN_DOCS} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libseqmend-dev
        COMPONENT debian-dev EXCLUDE_FROM_ALL)
add_custom_target(seqmend_compressed_docs ALL DEPENDS ${SEQMEND_COMPRESSED_DOCS})

# Three packages, as Debian splits a library: "seqmend" (the programs, which link the static
# library and so depend on no package of libseqmend), the runtime package (libseqmend.so.1,
# which the programs of others load) and "libseqmend-dev" (what building against the library
# takes; its libseqmend.so link leads to the runtime package's file, which it depends on in the
# very same version). Each package is a group of components.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL programs debian library debian-runtime development debian-dev)
set(CPACK_PACKAGE_NAME seqmend)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "seqmend developers")
set(CPACK_PACKAGE_CONTACT ${SEQMEND_CONTACT})
# Each package has a summary line of its own: no CPACK_PACKAGE_DESCRIPTION_SUMMARY, which cpack
# would put in front of every one. Lines of at most 80 characters; an empty line starts a new
# paragraph.
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"check a Standard MIDI File for structural damage and write a repaired copy
seqmend reads a Standard MIDI File as raw bytes, finds where its MIDI data
begin, walks the header and the track chunks, settles every chunk length from
what actually follows it, repairs invalid or incomplete events inside the
tracks, adds missing end of track events and drops stray bytes. Further MIDI
files found behind the main one are saved as files of their own.

eolmend undoes the damage a text-mode transfer does to a MIDI file (LF written
as CR LF, or CR LF as LF), chunk by chunk, where the restored chunk proves
sound.

Every repair is announced as one line; the input file is only ever read.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"library that checks and repairs Standard MIDI Files
libseqmend checks a Standard MIDI File for structural damage and repairs it,
from memory to memory or between streams, and undoes the damage of a text-mode
transfer. Every repair is handed to the caller as a finding with a stable code;
the library never prints, never exits and keeps no process-wide state, so any
number of repairs may run at once on threads.

This package contains the shared library.")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"library that checks and repairs Standard MIDI Files - development files
libseqmend checks a Standard MIDI File for structural damage and repairs it,
from memory to memory or between streams, and undoes the damage of a text-mode
transfer, with a C interface that other languages bind to.

This package contains the header, the static library, the pkg-config file and
the CMake package (find_package(seqmend)).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${SEQMEND_CONTACT})
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME seqmend)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${SEQMEND_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libseqmend-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The runtime package declares its library (a shlibs file, so that the packages of programs that
# link it depend on it in this version or later) and has the dynamic linker's cache renewed by
# dpkg's ldconfig trigger when it is installed or removed. Both are written here rather than by
# cpack, whose generated shlibs file needs the tools `file` and readelf at packaging time.
file(WRITE ${SEQMEND_DEBIAN_DIR}/shlibs
     "libseqmend ${PROJECT_VERSION_MAJOR} ${SEQMEND_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})\n")
file(WRITE ${SEQMEND_DEBIAN_DIR}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${SEQMEND_DEBIAN_DIR}/shlibs ${SEQMEND_DEBIAN_DIR}/triggers)
# The dependencies on the C and C++ runtime come from the binaries themselves where the tool for
# that is installed; otherwise they are named by hand.
find_program(SEQMEND_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(SEQMEND_RUNTIME_DEPENDS "libc6, libstdc++6, libgcc-s1")
if(SEQMEND_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(SEQMEND_RUNTIME_DEPENDS "")
endif()
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${SEQMEND_RUNTIME_DEPENDS}")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${SEQMEND_RUNTIME_DEPENDS}")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${SEQMEND_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
# The static library's link names the C++ runtime (-lstdc++), whose link-time files a machine
# with only a C compiler lacks: those of the compiler that built the library first.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  string(REGEX MATCH "^[0-9]+" SEQMEND_GCC_MAJOR ${CMAKE_CXX_COMPILER_VERSION})
  string(APPEND CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
         ", libstdc++-${SEQMEND_GCC_MAJOR}-dev | libstdc++-dev")
endif()
include(CPack)
cpack_add_component_group(tools)
cpack_add_component_group(runtime)
cpack_add_component_group(dev)
cpack_add_component(programs GROUP tools)
cpack_add_component(debian GROUP tools)
cpack_add_component(library GROUP runtime)
cpack_add_component(debian-runtime GROUP runtime)
cpack_add_component(development GROUP dev)
cpack_add_component(debian-dev GROUP dev)

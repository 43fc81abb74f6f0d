# What `cmake --install` puts under the prefix, and the packages CPack makes
# of it: a .deb of the Linux build, a .zip of the Windows builds.
include(GNUInstallDirs)

if(WIN32)
  # A Windows user unpacks the program, its README and its licence. The
  # program goes into a folder named after the Windows architecture it is
  # built for, x86 or x64, so that one .zip holds both and neither can be
  # taken for the other.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(EMSGRAFT_WINDOWS_ARCH x64)
  else()
    set(EMSGRAFT_WINDOWS_ARCH x86)
  endif()
  install(TARGETS emsgraft RUNTIME DESTINATION ${EMSGRAFT_WINDOWS_ARCH} COMPONENT program)
  install(FILES README.md LICENSE DESTINATION . COMPONENT documentation)
else()
  install(TARGETS emsgraft RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The manual names the default file of this very build.
  string(REGEX REPLACE "(.)/+$" "\\1" EMSGRAFT_MAN_SYSTEM_DIR "${EMSGRAFT_SYSTEM_DIR}")
  if(EMSGRAFT_MAN_SYSTEM_DIR STREQUAL "/")
    set(EMSGRAFT_MAN_SYSTEM_DIR "")
  endif()
  string(REPLACE "\\" "\\e" EMSGRAFT_MAN_SYSTEM_DIR "${EMSGRAFT_MAN_SYSTEM_DIR}")
  configure_file(doc/emsgraft.1.in ${PROJECT_BINARY_DIR}/emsgraft.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/emsgraft.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Whoever builds packages to hand out replaces this placeholder with their own
# name and address: cmake -DEMSGRAFT_MAINTAINER="Name <address>".
set(EMSGRAFT_MAINTAINER "Unnamed Packager <packager@replace-me.invalid>" CACHE STRING
    "Maintainer named in the packages, as: Name <address>")

set(CPACK_PACKAGE_NAME emsgraft)
set(CPACK_PACKAGE_VENDOR "the emsgraft authors")
set(CPACK_PACKAGE_CONTACT "${EMSGRAFT_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "registers the Microsoft Exchange Server service in a MAPI service file")
set(CPACK_PACKAGE_DESCRIPTION
    "emsgraft makes sure that a MAPI service file (MAPISVC.INF) registers the\n\
Microsoft Exchange Server message service, MSEMS, and holds the sections\n\
that define it and its providers, without changing anything that the file\n\
already defines. It is meant for administrators and install scripts.")
# Packaged programs carry no debugging information.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The 32-bit build's .zip also takes the program of a 64-bit build, when
  # given one (built first); CPack installs that build's program, stripped by
  # that build's own tools, into x64 beside x86.
  set(EMSGRAFT_PACKAGE_WINDOWS64_BUILD "" CACHE PATH
      "Build folder of the windows64 preset, whose program the 32-bit build's .zip holds too")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};emsgraft;ALL;/")
  if(EMSGRAFT_PACKAGE_WINDOWS64_BUILD AND EMSGRAFT_WINDOWS_ARCH STREQUAL "x86")
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${EMSGRAFT_PACKAGE_WINDOWS64_BUILD};emsgraft;program;/")
    set(CPACK_PACKAGE_FILE_NAME emsgraft-${PROJECT_VERSION}-windows)
  else()
    set(CPACK_PACKAGE_FILE_NAME emsgraft-${PROJECT_VERSION}-windows-${EMSGRAFT_WINDOWS_ARCH})
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${EMSGRAFT_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps states the C library version the binary needs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Debian's documentation layout, in the package only (cmake --install
  # stays plain): the licence as a machine-readable copyright file, a
  # changelog, both under /usr/share/doc/emsgraft, and the manual gzipped.
  # The changelog's date is the build's date, SOURCE_DATE_EPOCH when set.
  string(TIMESTAMP EMSGRAFT_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
  set(CPACK_EMSGRAFT_DEBIAN_COPYRIGHT ${PROJECT_SOURCE_DIR}/packaging/debian/copyright)
  set(CPACK_EMSGRAFT_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog)
  set(CPACK_EMSGRAFT_DEBIAN_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/emsgraft)
  set(CPACK_EMSGRAFT_DEBIAN_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
  # (CPack passes on the CPACK_ variables only.)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian_layout.cmake)
endif()

include(CPack)

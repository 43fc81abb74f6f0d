# What `cmake --install` puts under the prefix, and the packages CPack makes
# of it: a .deb of the Linux build, a .zip of the Windows build.
include(GNUInstallDirs)

if(WIN32)
  # A Windows user unpacks the program and its README side by side.
  install(TARGETS emsgraft RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
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

set(CPACK_PACKAGE_NAME emsgraft)
set(CPACK_PACKAGE_VENDOR "emsgraft")
set(CPACK_PACKAGE_CONTACT "emsgraft maintainers <emsgraft@localhost>" CACHE STRING
    "Maintainer named in the packages")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "registers the Microsoft Exchange Server service in a MAPI service file")
set(CPACK_PACKAGE_DESCRIPTION
    "emsgraft makes sure that a MAPI service file (MAPISVC.INF) registers the\n\
Microsoft Exchange Server message service, MSEMS, and holds the sections\n\
that define it and its providers, without changing anything that the file\n\
already defines. It is meant for administrators and install scripts.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME emsgraft-${PROJECT_VERSION}-windows-x86)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps states the C and C++ runtime versions the binary needs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)

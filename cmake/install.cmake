# Install rules and packages.
#
#   cmake --install build --prefix /some/where
#   cd build && cpack            # Linux: .tar.gz and .deb; MinGW: .zip
#
# bin/ gets the server, karst_bots and (with the database backend)
# karst_store_copy, the doc folder the README and docs/, the data folder an
# example server.ini with every key; on Linux the systemd units too. The units
# name the installed binary by its full path, so a package is configured with
# the prefix it installs to (the release preset uses /usr).

# The package's name, not the project's, names its doc and data folders.
set(CMAKE_INSTALL_DOCDIR "share/doc/karst-server" CACHE PATH "Documentation (DOCDIR)")
include(GNUInstallDirs)
set(KARST_DATADIR "${CMAKE_INSTALL_DATADIR}/karst-server")

set(KARST_INSTALLED_PROGRAMS karst_server)
if(TARGET karst_bots)
  list(APPEND KARST_INSTALLED_PROGRAMS karst_bots)
endif()
if(TARGET karst_store_copy)
  list(APPEND KARST_INSTALLED_PROGRAMS karst_store_copy)
endif()
install(TARGETS ${KARST_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES dist/server.ini DESTINATION ${KARST_DATADIR})

set(CPACK_PACKAGE_NAME "karst-server")
set(CPACK_PACKAGE_VENDOR "KARST")
# Whoever builds packages for others puts their own name and address here.
set(KARST_PACKAGE_MAINTAINER "KARST server maintainers <karst-server@example.org>" CACHE STRING
    "Maintainer named in the packages")
set(CPACK_PACKAGE_CONTACT "${KARST_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Dedicated server of the KARST multiplayer modification")
set(CPACK_PACKAGE_DESCRIPTION
    "karst_server relays what each player does to the others in the same room,\n"
    "runs stage starts and finishes, keeps each player's rings, fruit and Pibo in\n"
    "stores that survive restarts, serves a save file, writes metrics and\n"
    "advertises itself to a master server. The package also holds karst_bots, a\n"
    "load generator for loopback tests of a server.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# Packages carry stripped programs; a build tree keeps the symbols for debugging.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "karst-server")
set(CPACK_RESOURCE_FILE_README "${CMAKE_SOURCE_DIR}/README.md")
# The archives unpack into one folder named after the package and version.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "karst-server-${CPACK_PACKAGE_VERSION}-windows-x64")
else()
  set(KARST_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
      "Where the systemd units go, relative to the install prefix")
  set(KARST_FULL_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}")
  set(KARST_FULL_DOCDIR "${CMAKE_INSTALL_FULL_DOCDIR}")
  set(KARST_FULL_DATADIR "${CMAKE_INSTALL_PREFIX}/${KARST_DATADIR}")
  configure_file(dist/systemd/karst-server.service.in
                 ${CMAKE_BINARY_DIR}/dist/karst-server.service @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/dist/karst-server.service
                dist/systemd/karst-server-console.socket
          DESTINATION ${KARST_SYSTEMD_UNIT_DIR})

  set(CPACK_GENERATOR "TGZ;DEB")
  # Both packages hold the files under the configured prefix, as the units expect.
  set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # A game's server, not a game: nothing here belongs in /usr/games.
  set(CPACK_DEBIAN_PACKAGE_SECTION "net")
  # The libraries come from dpkg-shlibdeps; adduser is for the system user.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  foreach(script postinst prerm postrm)
    configure_file(dist/debian/${script} ${CMAKE_BINARY_DIR}/dist/debian/${script} @ONLY)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/dist/debian/${script})
  endforeach()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Debian's policy wants a copyright file and a compressed changelog in the doc folder.
  string(TIMESTAMP KARST_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(dist/debian/changelog.in ${CMAKE_BINARY_DIR}/dist/debian/changelog @ONLY)
  execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/dist/debian/changelog)
  install(FILES dist/debian/copyright ${CMAKE_BINARY_DIR}/dist/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

include(CPack)

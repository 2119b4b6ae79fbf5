# The Debian package of the desktop client, made by CPack from these install
# rules (tools/make-package.sh). Configure with -DCMAKE_INSTALL_PREFIX=/usr.
# Times come from SOURCE_DATE_EPOCH where it is set, so that two builds of
# one commit give the same bytes.
include(GNUInstallDirs)
set(package_dir ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(package_build ${CMAKE_CURRENT_BINARY_DIR}/package-files)
set(TORVANE_PACKAGE_VERSION 1.0.10)
set(TORVANE_PACKAGE_RELEASE 2018)
set(TORVANE_MAINTAINER "Torvane <suporte@torvane.com.br>")

install(TARGETS torvaneapp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tasklist RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/torvaneapp)

# The shipped configuration, with the demonstration files where the package
# puts them; a conffile.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/etc/TorvaneAPP.ini ini)
string(REPLACE "\npath=templates" "\npath=${CMAKE_INSTALL_FULL_DATADIR}/torvaneapp/templates" ini "${ini}")
string(REPLACE "\npath=docroot" "\npath=${CMAKE_INSTALL_FULL_DATADIR}/torvaneapp/docroot" ini "${ini}")
file(WRITE ${package_build}/TorvaneAPP.ini "${ini}")
set(config_dir ${CMAKE_INSTALL_FULL_SYSCONFDIR}/torvaneapp)
install(FILES ${package_build}/TorvaneAPP.ini DESTINATION ${config_dir})
file(WRITE ${package_build}/conffiles "${config_dir}/TorvaneAPP.ini\n")
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/etc/templates ${CMAKE_CURRENT_SOURCE_DIR}/etc/docroot
        DESTINATION ${CMAKE_INSTALL_DATADIR}/torvaneapp)

install(FILES ${package_dir}/com.torvane.TorvaneApp.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${package_dir}/com.torvane.TorvaneApp.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 32 48 64 128 256)
  install(FILES ${package_dir}/icons/${size}x${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME torvaneapp.png)
endforeach()

# Compressed without names or times (gzip -n), as Debian wants them.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${package_build}/changelog.Debian
  "torvaneapp (${TORVANE_PACKAGE_VERSION}-${TORVANE_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
  "  * Package of the desktop client.\n\n"
  " -- ${TORVANE_MAINTAINER}  ${changelog_date}\n")
find_program(GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${package_build}/changelog.Debian.gz ${package_build}/torvaneapp.1.gz
  COMMAND ${GZIP} -9nc ${package_build}/changelog.Debian > ${package_build}/changelog.Debian.gz
  COMMAND ${GZIP} -9nc ${package_dir}/torvaneapp.1 > ${package_build}/torvaneapp.1.gz
  DEPENDS ${package_dir}/torvaneapp.1 ${package_build}/changelog.Debian)
add_custom_target(package-files ALL DEPENDS ${package_build}/changelog.Debian.gz ${package_build}/torvaneapp.1.gz)
install(FILES ${package_build}/torvaneapp.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${package_build}/changelog.Debian.gz ${package_dir}/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/torvaneapp)

# Dependencies: dpkg-shlibdeps reads them off the binaries. The shared TLS
# context relies on the layout of Qt's private classes, which only the Qt
# build compiled against guarantees: the private symbols the client uses make
# dpkg-shlibdeps add Debian's name for that build's private ABI
# (qtbase-abi-<version>), which tests/system/test-package.sh checks. xdg-utils hands
# links of other schemes to the desktop.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME torvaneapp)
set(CPACK_PACKAGE_VERSION ${TORVANE_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "${TORVANE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client of the Torvane hosted telephony application")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Shows the hosted telephony application in a small window that stays on top
at the bottom right of the screen, with a tray icon and a floating dial
button. Local programs control it through its own HTTP server on the
loopback interface; links of the zolapp scheme start it.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TORVANE_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${package_build}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)

# The Debian package, made by `cpack -G DEB` in a Release build with prefix
# /usr (scripts/package.sh does both): everything `cmake --install` puts in
# place, plus the copyright file and the changelog that Debian wants beside
# every package's documentation.

set(POSTWREN_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/postwren)
set(POSTWREN_CHANGELOG ${PROJECT_SOURCE_DIR}/packaging/changelog)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${POSTWREN_PACKAGE_DOCDIR})
# Compressed without a name or time stamp, so the same changelog gives the
# same bytes.
find_program(POSTWREN_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND sh -c "\"$0\" -9n -c \"$1\" >\"$2\"" ${POSTWREN_GZIP} ${POSTWREN_CHANGELOG} ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${POSTWREN_CHANGELOG}
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(postwren_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION ${POSTWREN_PACKAGE_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME postwren)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Postwren developers <maintainers@postwren.example.org>")
set(CPACK_PACKAGE_VENDOR "The Postwren developers")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://postwren.example.org/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "resident mail checker for one POP3 mailbox")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Postwren lives in the notification area of the desktop and checks one POP3\n"
    "mailbox every few minutes; when mail is waiting, a small popup tells how\n"
    "much. Its user interface is Japanese. It speaks plain POP3, POP3 over TLS\n"
    "and STLS, with strict certificate checks.\n"
    "\n"
    "The command postwren-check checks a mailbox once, for scripts and status\n"
    "bars.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_POSTWREN_STRIP ${CMAKE_STRIP})
set(CPACK_POSTWREN_MODULE_DIR ${CMAKE_INSTALL_LIBDIR}/postwren)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/strip_package.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # postwren_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The libraries the programs link come from dpkg-shlibdeps. Qt loads its
# platform plugin (xcb, for X11 and XWayland) at run time, which
# dpkg-shlibdeps cannot see; without it the program does not start. OpenSSL
# is loaded at run time too, by the first TLS connection.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libssl3")
# The system's trust store for TLS; xdg-open for the project's page and for
# a mail program that is not an executable; the Japanese gothic the designed
# font is replaced with.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, xdg-utils, fonts-ipafont-gothic")
# A Secret Service keyring: GNOME's, KeePassXC, or KDE's wallet daemon.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring | keepassxc | libkf5wallet-bin")

include(CPack)

# Install rules and the Debian package (CPack's DEB generator), built by
# scripts/package.sh: gateway in /usr/sbin, simulator in /usr/bin, the
# configuration as a conffile, the systemd unit, the copyright file made
# from LICENSE.
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
install(TARGETS OrvelGateway RUNTIME DESTINATION sbin)
install(TARGETS OrvelModuleSim RUNTIME DESTINATION bin)
install(FILES ${_pkg}/orvelgateway.conf DESTINATION /etc)
install(FILES ${_pkg}/orvelgateway.service DESTINATION /lib/systemd/system)

# Machine-readable copyright: the header, then LICENSE as its licence text.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
string(REGEX REPLACE "\n$" "" _license "${_license}")
string(REPLACE "\n\n" "\n.\n" _license "${_license}")
string(REPLACE "\n" "\n " _license "${_license}")
file(WRITE ${CMAKE_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: orvelgateway

Files: *
Copyright: 2026 The OrvelGateway developers
License: Expat
 ${_license}
")
install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION share/doc/orvelgateway)
# Compressed without a time stamp (gzip -n), so rebuilds are identical.
set(_doc ${CMAKE_BINARY_DIR}/pkgdoc)
file(MAKE_DIRECTORY ${_doc})
foreach(f changelog OrvelGateway.8 orvelgateway.conf.5 OrvelModuleSim.1)
  execute_process(COMMAND gzip -9nc ${_pkg}/${f} OUTPUT_FILE ${_doc}/${f}.gz)
endforeach()
install(FILES ${_doc}/changelog.gz DESTINATION share/doc/orvelgateway)
install(FILES ${_doc}/OrvelGateway.8.gz DESTINATION share/man/man8)
install(FILES ${_doc}/orvelgateway.conf.5.gz DESTINATION share/man/man5)
install(FILES ${_doc}/OrvelModuleSim.1.gz DESTINATION share/man/man1)
file(WRITE ${CMAKE_BINARY_DIR}/conffiles "/etc/orvelgateway.conf\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvelgateway)
set(CPACK_PACKAGE_VERSION ${ORVEL_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ORVEL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_CONTACT "OrvelGateway developers <devel@orvelgateway.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "bridge between a mesh-radio module on a UART and TCP")
set(CPACK_PACKAGE_DESCRIPTION "OrvelGateway reads the frames a mesh-radio module reports on a serial
port and broadcasts each as one compact JSON document to every client of a
TCP receive port (2000). A TCP send port (2001) takes one JSON command per
connection, writes it to the module at its next clear-to-send and answers
with a JSON status reply. It runs as a systemd service configured in
/etc/orvelgateway.conf. The package also holds OrvelModuleSim, a simulator
of the module on a pseudo-terminal.")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/conffiles)
include(CPack)

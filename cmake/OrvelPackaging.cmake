# Install rules and the two Debian packages (CPack's DEB generator, one
# component each), built by scripts/package.sh. orvelgateway: gateway in
# /usr/sbin, simulator in /usr/bin, its configuration as a conffile, its
# systemd unit. orvelmqttbridge: the MQTT bridge in /usr/sbin with its own
# conffile and unit, so that a board without a broker does not need
# libmosquitto. Each has the copyright file made from LICENSE, a changelog
# and its manual pages. orvelconsole (architecture all): the console page
# under /usr/share/orvelconsole and an example mosquitto snippet that serves
# it; it opens no listener by itself.
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)
install(TARGETS OrvelGateway RUNTIME DESTINATION sbin COMPONENT gateway)
install(TARGETS OrvelModuleSim RUNTIME DESTINATION bin COMPONENT gateway)
install(FILES ${_pkg}/orvelgateway.conf DESTINATION /etc COMPONENT gateway)
install(FILES ${_pkg}/orvelgateway.service DESTINATION /lib/systemd/system COMPONENT gateway)
install(TARGETS OrvelMqttBridge RUNTIME DESTINATION sbin COMPONENT bridge)
install(FILES ${_pkg}/orvelmqttbridge.conf DESTINATION /etc COMPONENT bridge)
install(FILES ${_pkg}/orvelmqttbridge.service DESTINATION /lib/systemd/system COMPONENT bridge)
set(_console ${PROJECT_SOURCE_DIR}/console)
install(FILES ${_console}/index.html ${_console}/style.css DESTINATION share/orvelconsole COMPONENT console)
install(FILES ${_console}/js/app.js ${_console}/js/state.js ${_console}/js/commands.js ${_console}/js/neighbors.js
        DESTINATION share/orvelconsole/js COMPONENT console)
install(FILES ${_console}/vendor/mqtt.min.js ${_console}/vendor/mqtt.LICENSE.md
        DESTINATION share/orvelconsole/vendor COMPONENT console)
install(FILES ${_pkg}/orvelconsole-mosquitto.conf DESTINATION share/doc/orvelconsole/examples
        RENAME orvelconsole.conf COMPONENT console)

# Machine-readable copyright: the header, then LICENSE as its licence text.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
string(REGEX REPLACE "\n$" "" _license "${_license}")
string(REPLACE "\n\n" "\n.\n" _license "${_license}")
string(REPLACE "\n" "\n " _license "${_license}")
set(_copyright "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: orvelgateway

Files: *
Copyright: 2026 The OrvelGateway developers
License: Expat
 ${_license}
")
file(WRITE ${CMAKE_BINARY_DIR}/copyright "${_copyright}")
# The console ships the browser bundle of the MQTT client from npm, under
# its own licence (the bundle names the licences of what it includes).
file(WRITE ${CMAKE_BINARY_DIR}/copyright-console "${_copyright}
Files: usr/share/orvelconsole/vendor/*
Copyright: 2015-2016 MQTT.js contributors
License: Expat
 See usr/share/orvelconsole/vendor/mqtt.LICENSE.md.
")
# Compressed without a time stamp (gzip -n), so rebuilds are identical.
set(_doc ${CMAKE_BINARY_DIR}/pkgdoc)
file(MAKE_DIRECTORY ${_doc})
foreach(f OrvelGateway.8 orvelgateway.conf.5 OrvelModuleSim.1 OrvelMqttBridge.8)
  execute_process(COMMAND gzip -9nc ${_pkg}/${f} OUTPUT_FILE ${_doc}/${f}.gz)
endforeach()
# Per package (component:name): the copyright file, the changelog under the
# package's own name, and the control member conffiles, which must carry
# that name, so one folder each.
file(READ ${_pkg}/changelog _changelog)
foreach(_pair gateway:orvelgateway bridge:orvelmqttbridge console:orvelconsole)
  string(REPLACE ":" ";" _pair ${_pair})
  list(GET _pair 0 _component)
  list(GET _pair 1 _name)
  string(REPLACE "orvelgateway (" "${_name} (" _log "${_changelog}")
  file(WRITE ${_doc}/${_name}/changelog "${_log}")
  execute_process(COMMAND gzip -9nc ${_doc}/${_name}/changelog OUTPUT_FILE ${_doc}/${_name}/changelog.gz)
  install(FILES ${_doc}/${_name}/changelog.gz DESTINATION share/doc/${_name} COMPONENT ${_component})
  if(_component STREQUAL "console")
    install(FILES ${CMAKE_BINARY_DIR}/copyright-console DESTINATION share/doc/${_name}
            RENAME copyright COMPONENT ${_component})
  else()
    install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION share/doc/${_name} COMPONENT ${_component})
    file(WRITE ${CMAKE_BINARY_DIR}/pkgctl/${_component}/conffiles "/etc/${_name}.conf\n")
  endif()
endforeach()
install(FILES ${_doc}/OrvelGateway.8.gz DESTINATION share/man/man8 COMPONENT gateway)
install(FILES ${_doc}/orvelgateway.conf.5.gz DESTINATION share/man/man5 COMPONENT gateway)
install(FILES ${_doc}/OrvelModuleSim.1.gz DESTINATION share/man/man1 COMPONENT gateway)
install(FILES ${_doc}/OrvelMqttBridge.8.gz DESTINATION share/man/man8 COMPONENT bridge)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL gateway bridge console)
set(CPACK_PACKAGE_NAME orvelgateway)
set(CPACK_PACKAGE_VERSION ${ORVEL_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ORVEL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A cross build's libraries come from its sysroot, whose DEBIAN/ holds the
# shlibs and symbols of its packages: dpkg-shlibdeps finds both there.
if(ORVEL_ARMHF_SYSROOT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
      ${ORVEL_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf ${ORVEL_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_CONTACT "OrvelGateway developers <devel@orvelgateway.org>")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME orvelgateway)
set(CPACK_DEBIAN_GATEWAY_DESCRIPTION "bridge between a mesh-radio module on a UART and TCP
OrvelGateway reads the frames a mesh-radio module reports on a serial
port and broadcasts each as one compact JSON document to every client of a
TCP receive port (2000). A TCP send port (2001) takes one JSON command per
connection, writes it to the module at its next clear-to-send and answers
with a JSON status reply. It runs as a systemd service configured in
/etc/orvelgateway.conf. The package also holds OrvelModuleSim, a simulator
of the module on a pseudo-terminal.")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/pkgctl/gateway/conffiles)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME orvelmqttbridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SUGGESTS orvelgateway)
set(CPACK_DEBIAN_BRIDGE_DESCRIPTION "OrvelGateway's documents and commands over an MQTT broker
OrvelMqttBridge is a client of an OrvelGateway's two TCP ports and of an
MQTT broker. It publishes every document of the receive port under
<topicPrefix>/<gatewayId>/rx/<objectType>, passes the commands published
to .../tx to the send port and publishes the replies, keeps a retained
online/offline status and statistics, and queues documents while the
broker is away. It runs as a systemd service configured in
/etc/orvelmqttbridge.conf.")
set(CPACK_DEBIAN_BRIDGE_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/pkgctl/bridge/conffiles)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME orvelconsole)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SECTION web)
set(CPACK_DEBIAN_CONSOLE_PACKAGE_SUGGESTS mosquitto)
set(CPACK_DEBIAN_CONSOLE_DESCRIPTION "browser console for a fleet of OrvelGateway boards
A static page that talks MQTT over WebSockets to the broker the boards'
OrvelMqttBridge publish to: every board with its status and statistics,
each board's mesh nodes with last-seen times, counts and RSSI, the
module's neighbours as a picture, a live feed of documents and a form for
the eight commands with their replies. mosquitto serves it from
/usr/share/orvelconsole on a websockets listener; the example snippet in
/usr/share/doc/orvelconsole/examples shows how. Installing the package
opens no listener.")
include(CPack)

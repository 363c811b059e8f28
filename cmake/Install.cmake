# Install layout, systemd unit and Debian package.
#
#   cmake --install build [--prefix /usr]        installs:
#     bin/relaySvr, bin/relay-request, bin/relay-device, bin/relay-status
#     share/man/man8/relaySvr.8.gz, share/man/man1/relay-request.1.gz, relay-device.1.gz,
#       relay-status.1.gz
#     share/doc/relaysvr/examples/relaySvr.ini   commented sample configuration
#     lib/systemd/system/relaySvr.service         ExecStart = <prefix>/bin/relaySvr
#     /etc/relaySvr/relaySvr.ini                  the sample, unless one is there
#   cmake --build build --target package          builds relaysvr_<version>_<arch>.deb
#
# The program itself is unchanged by all this: it still reads relaySvr.ini from
# its working directory, which the unit sets to RELAY_CONFIG_DIR.
include(GNUInstallDirs)

set(RELAY_CONFIG_DIR "/etc/relaySvr" CACHE PATH
    "Directory of the installed relaySvr.ini; the systemd unit's working directory")
set(RELAY_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative paths are under the install prefix)")

set(_relay_pkg_src "${CMAKE_CURRENT_LIST_DIR}/../packaging")
get_filename_component(_relay_pkg_src "${_relay_pkg_src}" ABSOLUTE)
set(_relay_pkg_bin "${CMAKE_BINARY_DIR}/packaging")
set(_relay_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/relaysvr")

# --- programs ---------------------------------------------------------------
install(TARGETS relaySvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
set(_relay_manpages relaySvr.8)
foreach(_tool relay-request relay-device relay-status)
  if(TARGET ${_tool}) # RELAY_BUILD_TOOLS
    install(TARGETS ${_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND _relay_manpages ${_tool}.1)
  endif()
endforeach()

# --- manual pages: Debian wants them compressed, and man reads them either way
find_program(RELAY_GZIP gzip)
set(_relay_manfiles)
foreach(_page IN LISTS _relay_manpages)
  if(RELAY_GZIP)
    add_custom_command(
      OUTPUT "${_relay_pkg_bin}/${_page}.gz"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${_relay_pkg_bin}"
      COMMAND ${RELAY_GZIP} -9 -n -c "${_relay_pkg_src}/${_page}" > "${_relay_pkg_bin}/${_page}.gz"
      DEPENDS "${_relay_pkg_src}/${_page}"
      VERBATIM)
    list(APPEND _relay_manfiles "${_relay_pkg_bin}/${_page}.gz")
    set(_file "${_relay_pkg_bin}/${_page}.gz")
  else()
    set(_file "${_relay_pkg_src}/${_page}")
  endif()
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" _section "${_page}")
  install(FILES "${_file}" DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endforeach()

# --- documentation ------------------------------------------------------------
install(FILES "${_relay_pkg_src}/relaySvr.ini" DESTINATION ${_relay_docdir}/examples)
install(FILES "${_relay_pkg_src}/copyright" DESTINATION ${_relay_docdir})
if(RELAY_GZIP)
  add_custom_command(
    OUTPUT "${_relay_pkg_bin}/changelog.gz"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_relay_pkg_bin}"
    COMMAND ${RELAY_GZIP} -9 -n -c "${_relay_pkg_src}/changelog" > "${_relay_pkg_bin}/changelog.gz"
    DEPENDS "${_relay_pkg_src}/changelog"
    VERBATIM)
  list(APPEND _relay_manfiles "${_relay_pkg_bin}/changelog.gz")
  install(FILES "${_relay_pkg_bin}/changelog.gz" DESTINATION ${_relay_docdir})
  add_custom_target(relay_docs ALL DEPENDS ${_relay_manfiles})
endif()

# --- systemd unit -------------------------------------------------------------
# Written at install time, so that ExecStart names the binary under the prefix
# actually installed to (cmake --install --prefix, or /usr in the package).
install(CODE "
  file(READ \"${_relay_pkg_src}/relaySvr.service\" _unit)
  string(REGEX REPLACE \"\\nExecStart=[^\\n]*\" \"\\nExecStart=\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/relaySvr\" _unit \"\${_unit}\")
  string(REGEX REPLACE \"\\nWorkingDirectory=[^\\n]*\" \"\\nWorkingDirectory=${RELAY_CONFIG_DIR}\" _unit \"\${_unit}\")
  file(WRITE \"${_relay_pkg_bin}/relaySvr.service\" \"\${_unit}\")
")
install(FILES "${_relay_pkg_bin}/relaySvr.service" DESTINATION ${RELAY_SYSTEMD_UNIT_DIR})

# --- configuration ------------------------------------------------------------
# The sample becomes the configuration only where there is none yet: a
# reinstall never overwrites an operator's file. (In the package it is a
# conffile, and dpkg takes care of that.)
install(CODE "
  set(_dest \"\$ENV{DESTDIR}${RELAY_CONFIG_DIR}/relaySvr.ini\")
  if(EXISTS \"\${_dest}\")
    message(STATUS \"Keeping: \${_dest}\")
  else()
    file(INSTALL DESTINATION \"${RELAY_CONFIG_DIR}\" TYPE FILE FILES \"${_relay_pkg_src}/relaySvr.ini\")
  endif()
")

# --- Debian package -----------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "relaysvr")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TCP relay between local requesters and devices")
set(CPACK_PACKAGE_DESCRIPTION
    "relaySvr listens on one TCP port and passes bytes between requesters, local
programs connecting from 127.0.0.1, and devices, peers known by the last octet
of their IPv4 address. Byte 1 of a request names the device; the device's next
chunk goes back to the requester. The package holds the server with a systemd
unit and a sample configuration in /etc/relaySvr, and the operator tools
relay-request and relay-device to test a device by hand.")
set(CPACK_PACKAGE_CONTACT "relaySvr maintainers <relaysvr@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
find_program(RELAY_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(RELAY_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libevent-core-2.1-7, libstdc++6, libgcc-s1")
endif()
set(CPACK_STRIP_FILES ON)
# Install straight under /usr with DESTDIR, so that the absolute /etc path and
# the unit's ExecStart come out right in the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
file(WRITE "${_relay_pkg_bin}/conffiles" "${RELAY_CONFIG_DIR}/relaySvr.ini\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${_relay_pkg_bin}/conffiles;${_relay_pkg_src}/postinst;${_relay_pkg_src}/prerm;${_relay_pkg_src}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

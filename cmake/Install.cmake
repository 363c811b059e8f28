# Install layout, systemd unit and Debian package.
#
#   cmake --install build [--prefix /usr]        installs:
#     sbin/relaySvr                                the server
#     bin/relay-request, bin/relay-device, bin/relay-status   operator tools
#     share/man/man8/relaySvr.8.gz, share/man/man1/relay-request.1.gz,
#       relay-device.1.gz, relay-status.1.gz
#     share/doc/relaysvr/examples/relaySvr.ini   pristine copy of the configuration
#     share/doc/relaysvr/examples/prometheus-relaysvr.yml, relaysvr-alerts.yml,
#       relaysvr-alerts.test.yml                   the monitoring kit: scrape job,
#                                                  alerting rules and their tests
#     lib/systemd/system/relaysvr.service          ExecStart = <prefix>/sbin/relaySvr
#     lib/sysusers.d/relaysvr.conf                 the user and group relaysvr
#     lib/tmpfiles.d/relaysvr.conf                 /run/relaySvr.pid, owned by relaysvr
#     /etc/relaySvr/relaySvr.ini                   the configuration, unless one is there
#   cmake --build build --target package          builds relaysvr_<version>_<arch>.deb
#
# The installed configuration is the commented sample of the repository root
# (relaySvr.ini) with LogLevel=connections (cmake/PackagedConfig.cmake). The
# program itself still reads relaySvr.ini from its working directory, which
# the unit sets to RELAY_CONFIG_DIR, and keeps its PID file in /run under its
# executable's name. A plain `cmake --install` does not create the user or the
# PID file: the package's postinst does, and so do
#   systemd-sysusers relaysvr.conf && systemd-tmpfiles --create relaysvr.conf
include(GNUInstallDirs)

set(RELAY_CONFIG_DIR "/etc/relaySvr" CACHE PATH
    "Directory of the installed relaySvr.ini; the systemd unit's working directory")
set(RELAY_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes (relative paths are under the install prefix)")
# The program names its PID file after its executable, in /var/run (a link to /run).
set(RELAY_PID_FILE "/run/relaySvr.pid")

set(_relay_pkg_src "${CMAKE_CURRENT_LIST_DIR}/../packaging")
get_filename_component(_relay_pkg_src "${_relay_pkg_src}" ABSOLUTE)
get_filename_component(_relay_sample "${CMAKE_CURRENT_LIST_DIR}/../relaySvr.ini" ABSOLUTE)
set(_relay_pkg_bin "${CMAKE_BINARY_DIR}/packaging")
set(_relay_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/relaysvr")
file(MAKE_DIRECTORY "${_relay_pkg_bin}")

# --- programs ---------------------------------------------------------------
# The daemon goes to sbin, as Debian's daemons do; the tools that anyone may
# run stay in bin.
install(TARGETS relaySvr RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
set(_relay_programs "${CMAKE_INSTALL_SBINDIR}/relaySvr")
set(_relay_manpages relaySvr.8)
foreach(_tool relay-request relay-device relay-status)
  if(TARGET ${_tool}) # RELAY_BUILD_TOOLS
    install(TARGETS ${_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND _relay_programs "${CMAKE_INSTALL_BINDIR}/${_tool}")
    list(APPEND _relay_manpages ${_tool}.1)
  endif()
endforeach()

# A stripped install (cmake --install --strip, and the package) also drops
# what dh_strip drops: the compiler's .comment and the .note section.
find_program(RELAY_OBJCOPY NAMES objcopy)
if(RELAY_OBJCOPY)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(_program ${_relay_programs})
        execute_process(COMMAND \"${RELAY_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${_program}\")
      endforeach()
    endif()
  ")
endif()

# --- manual pages: Debian wants them compressed, and man reads them either way
find_program(RELAY_GZIP gzip)
set(_relay_generated)
foreach(_page IN LISTS _relay_manpages)
  if(RELAY_GZIP)
    add_custom_command(
      OUTPUT "${_relay_pkg_bin}/${_page}.gz"
      COMMAND ${RELAY_GZIP} -9 -n -c "${_relay_pkg_src}/${_page}" > "${_relay_pkg_bin}/${_page}.gz"
      DEPENDS "${_relay_pkg_src}/${_page}"
      VERBATIM)
    list(APPEND _relay_generated "${_relay_pkg_bin}/${_page}.gz")
    set(_file "${_relay_pkg_bin}/${_page}.gz")
  else()
    set(_file "${_relay_pkg_src}/${_page}")
  endif()
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" _section "${_page}")
  install(FILES "${_file}" DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endforeach()

# --- documentation ------------------------------------------------------------
install(FILES "${_relay_pkg_src}/copyright" DESTINATION ${_relay_docdir})
# The monitoring kit, as README.md shows it: a Prometheus scrape job, the
# alerting rules and their promtool tests (which name the rules beside them).
install(FILES "${_relay_pkg_src}/prometheus-relaysvr.yml" "${_relay_pkg_src}/relaysvr-alerts.yml"
              "${_relay_pkg_src}/relaysvr-alerts.test.yml"
        DESTINATION ${_relay_docdir}/examples)
# What lintian reports about the package and is so by design.
install(FILES "${_relay_pkg_src}/relaysvr.lintian-overrides"
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME relaysvr)
if(RELAY_GZIP)
  add_custom_command(
    OUTPUT "${_relay_pkg_bin}/changelog.gz"
    COMMAND ${RELAY_GZIP} -9 -n -c "${_relay_pkg_src}/changelog" > "${_relay_pkg_bin}/changelog.gz"
    DEPENDS "${_relay_pkg_src}/changelog"
    VERBATIM)
  list(APPEND _relay_generated "${_relay_pkg_bin}/changelog.gz")
  install(FILES "${_relay_pkg_bin}/changelog.gz" DESTINATION ${_relay_docdir})
endif()

# --- configuration ------------------------------------------------------------
# Made from the sample at build time, so that an edit of the sample reaches
# the next install and package.
set(_relay_config "${_relay_pkg_bin}/relaySvr.ini")
add_custom_command(
  OUTPUT "${_relay_config}"
  COMMAND ${CMAKE_COMMAND} -DIN=${_relay_sample} -DOUT=${_relay_config}
          -P "${CMAKE_CURRENT_LIST_DIR}/PackagedConfig.cmake"
  DEPENDS "${_relay_sample}" "${CMAKE_CURRENT_LIST_DIR}/PackagedConfig.cmake"
  VERBATIM)
list(APPEND _relay_generated "${_relay_config}")
add_custom_target(relay_package_files ALL DEPENDS ${_relay_generated})

# The pristine copy, to compare with or go back to.
install(FILES "${_relay_config}" DESTINATION ${_relay_docdir}/examples)
# It becomes the configuration only where there is none yet: a reinstall
# never overwrites an operator's file. (In the package it is a conffile, and
# dpkg takes care of that.)
install(CODE "
  set(_dest \"\$ENV{DESTDIR}${RELAY_CONFIG_DIR}/relaySvr.ini\")
  if(EXISTS \"\${_dest}\")
    message(STATUS \"Keeping: \${_dest}\")
  else()
    file(INSTALL DESTINATION \"${RELAY_CONFIG_DIR}\" TYPE FILE FILES \"${_relay_config}\")
  endif()
")

# --- systemd: unit, user, PID file ----------------------------------------------
# The unit is configured when it is installed, so that ExecStart names the
# daemon under the prefix actually installed to (cmake --install --prefix, or
# /usr in the package), not the one the build was configured with.
install(CODE "
  if(IS_ABSOLUTE \"${CMAKE_INSTALL_SBINDIR}\")
    set(RELAY_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  else()
    set(RELAY_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  endif()
  set(RELAY_CONFIG_DIR \"${RELAY_CONFIG_DIR}\")
  set(RELAY_PID_FILE \"${RELAY_PID_FILE}\")
  configure_file(\"${_relay_pkg_src}/relaysvr.service.in\" \"${_relay_pkg_bin}/relaysvr.service\" @ONLY)
")
install(FILES "${_relay_pkg_bin}/relaysvr.service" DESTINATION ${RELAY_SYSTEMD_UNIT_DIR})
install(FILES "${_relay_pkg_src}/relaysvr.sysusers" DESTINATION lib/sysusers.d RENAME relaysvr.conf)
install(FILES "${_relay_pkg_src}/relaysvr.tmpfiles" DESTINATION lib/tmpfiles.d RENAME relaysvr.conf)

# --- Debian package -----------------------------------------------------------
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "relaysvr")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TCP relay between local requesters and devices")
set(CPACK_PACKAGE_DESCRIPTION
    "relaySvr listens on one TCP port and passes bytes between requesters, local
programs connecting from 127.0.0.1, and devices, peers known by the last octet
of their IPv4 address. Byte 1 of a request names the device; the device's next
chunk goes back to the requester. The package holds the server with a
confined systemd unit (relaysvr.service, running as the system user
relaysvr), a commented configuration in /etc/relaySvr, and the operator tools
relay-request, relay-device and relay-status.")
set(CPACK_PACKAGE_CONTACT "relaySvr maintainers <relaysvr@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# adduser: postinst's fallback where systemd-sysusers is missing; procps:
# /bin/kill, which the unit's ExecReload sends SIGHUP with.
set(_relay_depends "adduser, procps")
find_program(RELAY_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(RELAY_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_relay_depends}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "${_relay_depends}, libc6, libevent-core-2.1-7, libevent-extra-2.1-7, libsystemd0, libstdc++6, libgcc-s1")
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

# Debian's hardening build flags, from dpkg-buildflags, for every target.
#
#   RELAY_DEBIAN_HARDENING   ON by default where dpkg-buildflags exists
#
# With hardening=+all dpkg-buildflags gives, on Debian 12 with GCC 12:
#   CPPFLAGS  -Wdate-time -D_FORTIFY_SOURCE=2
#   CXXFLAGS  -fstack-protector-strong -Wformat -Werror=format-security
#   LDFLAGS   -Wl,-z,relro -Wl,-z,now
# (and PIE, which Debian's compiler builds by default). Only the hardening
# flags are taken: -g and -O2 stay with CMAKE_BUILD_TYPE, and the file prefix
# maps, which depend on the directory dpkg-buildflags runs in, are left out.
# DEB_BUILD_MAINT_OPTIONS, DEB_CXXFLAGS_APPEND and the other variables that
# dpkg-buildflags reads still apply, so a package build can add to or drop
# from the set as for any Debian package.
#
# _FORTIFY_SOURCE is left out of the sanitizer and fuzzer builds: its checked
# copies of memcpy, read and friends hide the calls from AddressSanitizer's
# interceptors. It also needs optimisation, so a Debug build (-O0) goes
# without it rather than warn on every file.
find_program(RELAY_DPKG_BUILDFLAGS dpkg-buildflags)
if(RELAY_DPKG_BUILDFLAGS)
  set(_relay_hardening_default ON)
else()
  set(_relay_hardening_default OFF)
endif()
option(RELAY_DEBIAN_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)" ${_relay_hardening_default})

if(RELAY_DEBIAN_HARDENING)
  if(NOT RELAY_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "RELAY_DEBIAN_HARDENING is ON but dpkg-buildflags is not installed (package dpkg-dev)")
  endif()

  # Runs dpkg-buildflags --get WHAT and keeps the words that harden.
  function(_relay_buildflags what out)
    if(DEFINED ENV{DEB_BUILD_MAINT_OPTIONS})
      set(_options "$ENV{DEB_BUILD_MAINT_OPTIONS}")
    else()
      set(_options "hardening=+all")
    endif()
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=${_options}" ${RELAY_DPKG_BUILDFLAGS} --get ${what}
      OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR "dpkg-buildflags --get ${what} failed (${_rc})")
    endif()
    separate_arguments(_flags UNIX_COMMAND "${_flags}")
    list(FILTER _flags EXCLUDE REGEX "^-g[0-9]*$|^-O[0-9sgz]?$|^-f(file|debug|macro)-prefix-map=")
    set(${out} "${_flags}" PARENT_SCOPE)
  endfunction()

  _relay_buildflags(CPPFLAGS _relay_cppflags)
  _relay_buildflags(CXXFLAGS _relay_cxxflags)
  _relay_buildflags(LDFLAGS _relay_ldflags)

  if(RELAY_SANITIZE OR RELAY_FUZZ)
    list(FILTER _relay_cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
    set(_relay_note " (without _FORTIFY_SOURCE: sanitizer build)")
  else()
    # Only where the build optimises: generator expression on the configuration.
    set(_relay_fortify ${_relay_cppflags})
    list(FILTER _relay_fortify INCLUDE REGEX "^-D_FORTIFY_SOURCE")
    list(FILTER _relay_cppflags EXCLUDE REGEX "^-D_FORTIFY_SOURCE")
    foreach(_flag IN LISTS _relay_fortify)
      list(APPEND _relay_cppflags "$<$<NOT:$<CONFIG:Debug>>:${_flag}>")
    endforeach()
    set(_relay_note "")
  endif()

  add_compile_options(${_relay_cppflags} ${_relay_cxxflags})
  add_link_options(${_relay_ldflags})
  string(REPLACE ";" " " _relay_shown "${_relay_cppflags};${_relay_cxxflags};${_relay_ldflags}")
  string(REGEX REPLACE "\\$<\\$<NOT:\\$<CONFIG:Debug>>:([^>]*)>" "\\1" _relay_shown "${_relay_shown}")
  message(STATUS "Debian hardening flags${_relay_note}: ${_relay_shown}")
endif()

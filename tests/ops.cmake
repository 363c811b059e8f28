# Script-driven checks of what an operator gets: the install layout, the
# systemd unit and its confinement, the Debian package (installed into the
# machine, run as the unit runs it, and purged, when the test runs as root)
# and its manual page (package_test.sh), and the first-run demo
# (demo_test.sh). They skip, with status 77, what the machine lacks
# (systemd-analyze, dpkg-deb, lintian, man, strace, root, a writable /var/run).
add_test(NAME ops_install_package
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
# RUN_SERIAL: it installs and purges the package on the machine.
set_tests_properties(ops_install_package PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77 LABELS ops RUN_SERIAL TRUE)

if(RELAY_BUILD_TOOLS)
  add_test(NAME ops_demo
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/demo_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(ops_demo PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS ops)
endif()

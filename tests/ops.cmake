# Script-driven checks of what an operator gets: the install layout, the
# systemd unit and its confinement, the Debian package and its manual page
# (package_test.sh), and the first-run demo (demo_test.sh). They skip, with
# status 77, what the machine lacks (systemd-analyze, dpkg-deb, lintian, man,
# strace, root, a writable /var/run). Nothing here changes the machine...
add_test(NAME ops_package
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(ops_package PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77 LABELS ops)
# ...but this: the package installed into the machine (root only), run as the
# unit runs it, and purged. Label "install" (and "slow", so that the quick
# loop `ctest -LE slow` leaves the machine alone); CI runs it. RUN_SERIAL:
# nothing else may see the package half installed.
add_test(NAME ops_host_install
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} host)
set_tests_properties(ops_host_install PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77 LABELS "ops;install;slow"
                     RUN_SERIAL TRUE)

# The monitoring kit (scrape job, alerting rules, their tests) against
# README.md and, where it is installed, promtool.
add_test(NAME ops_monitoring COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/monitoring_test.sh ${PROJECT_SOURCE_DIR})
set_tests_properties(ops_monitoring PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS ops)

if(RELAY_BUILD_TOOLS)
  add_test(NAME ops_demo
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/demo_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(ops_demo PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS ops)
endif()

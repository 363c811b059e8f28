# Script-driven checks of what an operator gets: the install layout and the
# systemd unit, the Debian package and its manual page (package_test.sh), and
# the first-run demo (demo_test.sh). They skip what the machine lacks
# (systemd-analyze, dpkg-deb, lintian, man, a writable /var/run).
add_test(NAME ops_install_package
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
set_tests_properties(ops_install_package PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77 LABELS ops)

if(RELAY_BUILD_TOOLS)
  add_test(NAME ops_demo
           COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/demo_test.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(ops_demo PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77 LABELS ops)
endif()

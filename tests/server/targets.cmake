# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
# The unit tests can be left out of a build whose server is tested in
# another (the test command runs them under the sanitizers only); the browser
# test and the unit check below still run against this build's server.
option(QUILLMOTH_SERVER_TESTS "Build the results service's unit tests" ON)
if(QUILLMOTH_SERVER_TESTS)
  qm_test_dir(server qm_server)
  # The real client against the real server needs the benchmark's upload
  # code; some tests start real server processes.
  target_link_libraries(server_tests PRIVATE qm_submit httplib::httplib)
  add_dependencies(server_tests quillmoth-server)
  target_compile_definitions(server_tests PRIVATE QM_SERVER_BINARY="$<TARGET_FILE:quillmoth-server>")
endif()

# The pages in a real browser (Node and Chromium; skipped without them).
include(${CMAKE_CURRENT_LIST_DIR}/browser/browser.cmake)

# The systemd unit the package installs (Debian package systemd).
find_program(QM_SYSTEMD_ANALYZE systemd-analyze)
if(QM_SYSTEMD_ANALYZE)
  add_test(NAME ServerUnit.Verify
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_unit.sh
      ${PROJECT_SOURCE_DIR}/src/server/deploy/quillmoth-server.service $<TARGET_FILE:quillmoth-server>)
  set_tests_properties(ServerUnit.Verify PROPERTIES LABELS server TIMEOUT 60)
else()
  message(STATUS "systemd-analyze not found: the unit check is not built (Debian package systemd)")
endif()

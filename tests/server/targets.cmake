# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
qm_test_dir(server qm_server)

# The real client against the real server needs the benchmark's upload code;
# some tests start real server processes.
target_link_libraries(server_tests PRIVATE qm_submit httplib::httplib)
add_dependencies(server_tests quillmoth-server)
target_compile_definitions(server_tests PRIVATE QM_SERVER_BINARY="$<TARGET_FILE:quillmoth-server>")

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

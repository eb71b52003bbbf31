# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
qm_test_dir(server qm_server ONE_PROGRAM)

# The real client against the real server needs the benchmark's upload code;
# some tests start real server processes.
target_link_libraries(server_tests PRIVATE qm_submit)
add_dependencies(server_tests quillmoth-server)
target_compile_definitions(server_tests PRIVATE QM_SERVER_BINARY="$<TARGET_FILE:quillmoth-server>")

# Kills the server mid-load and checks that every acknowledged upload survived.
find_package(Python3 QUIET COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME server_kill_under_load
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/server/kill_under_load.py
                   $<TARGET_FILE:quillmoth-server> ${CMAKE_CURRENT_SOURCE_DIR}/submit/golden_document.json)
  set_tests_properties(server_kill_under_load PROPERTIES LABELS server TIMEOUT 300)
endif()

# The pages in a real browser (Node and Chromium; skipped without them).
include(${CMAKE_CURRENT_LIST_DIR}/browser/browser.cmake)

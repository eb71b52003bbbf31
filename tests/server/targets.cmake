# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
qm_test_dir(server qm_server)

# The real client against the real server needs the benchmark's upload code.
target_link_libraries(server_test_client PRIVATE qm_submit)

if(TARGET server_test_program)
  add_dependencies(server_test_program quillmoth-server)
  target_compile_definitions(server_test_program PRIVATE QM_SERVER_BINARY="$<TARGET_FILE:quillmoth-server>")
endif()

# Kills the server mid-load and checks that every acknowledged upload survived.
find_package(Python3 QUIET COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME server_kill_under_load
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/server/kill_under_load.py
                   $<TARGET_FILE:quillmoth-server> ${CMAKE_CURRENT_SOURCE_DIR}/submit/golden_document.json)
  set_tests_properties(server_kill_under_load PROPERTIES LABELS server TIMEOUT 300)
endif()

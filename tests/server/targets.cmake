# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
qm_test_dir(server qm_server)

# The real client against the real server needs the benchmark's upload code.
target_link_libraries(server_test_http PRIVATE qm_submit)

# The program's tests start real server processes.
add_dependencies(server_test_program quillmoth-server)
target_compile_definitions(server_test_program PRIVATE QM_SERVER_BINARY="$<TARGET_FILE:quillmoth-server>")

# The pages in a real browser (Node and Chromium; skipped without them).
include(${CMAKE_CURRENT_LIST_DIR}/browser/browser.cmake)

# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
qm_test_dir(server qm_server)

# The multi-instance tests start real server processes.
if(TARGET server_test_pg_instances)
  target_compile_definitions(server_test_pg_instances PRIVATE
    QUILLMOTH_SERVER_BINARY="$<TARGET_FILE:quillmoth-server>")
  add_dependencies(server_test_pg_instances quillmoth-server)
endif()

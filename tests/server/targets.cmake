# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
qm_test_dir(server qm_server)

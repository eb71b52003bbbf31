# The results service tests, included from tests/CMakeLists.txt when the
# server is built.
qm_test_dir(server qm_server)

# The pages in a real browser (Node and Chromium; skipped without them).
include(${CMAKE_CURRENT_LIST_DIR}/browser/browser.cmake)

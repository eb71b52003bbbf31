# The pages in a real browser: Node drives the system Chromium against the
# built quillmoth-server; screenshots land in <build>/browser-artifacts.
# Skipped (exit 77) when node, Chromium or the npm packages are missing:
#   npm ci --prefix tests/server/browser
find_program(QM_NODE node)
if(QM_NODE)
  add_test(NAME ServerBrowser.Pages
    COMMAND ${QM_NODE} ${CMAKE_CURRENT_LIST_DIR}/pages.test.mjs $<TARGET_FILE:quillmoth-server>
            ${PROJECT_SOURCE_DIR}/tests/submit/golden_document.json ${PROJECT_BINARY_DIR}/browser-artifacts)
else()
  add_test(NAME ServerBrowser.Pages COMMAND sh -c "echo 'node not found: browser test skipped'; exit 77")
endif()
set_tests_properties(ServerBrowser.Pages PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS "server;browser")

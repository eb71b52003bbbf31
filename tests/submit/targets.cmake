# Extra targets of the whole-run test, included from tests/CMakeLists.txt.

# The results URL is fixed when the program is built, so the whole-run test
# gets a second executable that differs from quillmoth only in its URL
# library. Its port is a placeholder: the test writes the port its server got
# over it in a copy, so that runs never compete for a fixed port.
set(QM_LOOPBACK_PORT 47311)
qm_add_results_url_library(qm_results_url_loopback "http://127.0.0.1:${QM_LOOPBACK_PORT}")
add_executable(quillmoth_loopback ${PROJECT_SOURCE_DIR}/src/driver/main.cc)
target_link_libraries(quillmoth_loopback PRIVATE qm_driver)
set_target_properties(quillmoth_loopback PROPERTIES
  QM_LOOPBACK_RESULTS_URL ON
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

if(TARGET driver_tests)
  add_dependencies(driver_tests quillmoth_loopback)
  target_compile_definitions(driver_tests PRIVATE
    QM_LOOPBACK_BINARY="$<TARGET_FILE:quillmoth_loopback>"
    QM_LOOPBACK_PORT="${QM_LOOPBACK_PORT}")
endif()

# The URL split is checked by running the configure-time code in script mode.
if(TARGET submit_tests)
  target_compile_definitions(submit_tests PRIVATE
    QM_CMAKE_COMMAND="${CMAKE_COMMAND}"
    QM_RESULTS_URL_SCRIPT="${PROJECT_SOURCE_DIR}/cmake/ResultsUrl.cmake")
endif()

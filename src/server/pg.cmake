# The PostgreSQL backend of the results service, added to the server library
# when libpq is found; without it the server keeps SQLite only and refuses a
# PostgreSQL URI with a clear error (store.cc).
find_package(PostgreSQL QUIET)

function(qm_server_add_postgres target)
  if(PostgreSQL_FOUND)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pg_store.cc)
    target_link_libraries(${target} PUBLIC PostgreSQL::PostgreSQL)
    target_compile_definitions(${target} PUBLIC QM_HAVE_LIBPQ=1)
  else()
    message(STATUS "libpq not found: quillmoth-server built with SQLite storage only")
  endif()
endfunction()

# Upload load generator against running servers (bench/server/pg_upload_rate.sh).
if(QUILLMOTH_BENCH)
  add_executable(server_upload_load ${PROJECT_SOURCE_DIR}/bench/server/upload_load.cc)
  target_link_libraries(server_upload_load PRIVATE httplib::httplib Threads::Threads)
  set_target_properties(server_upload_load PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
endif()

# The PostgreSQL backend of the results service. Adds its sources to the
# server's library: the libpq store when libpq is found, otherwise a stub that
# refuses PostgreSQL URIs with a clear error.
find_package(PostgreSQL QUIET)

function(qm_server_add_postgres target)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pg_uri.cc)
  if(PostgreSQL_FOUND)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pg_store.cc)
    target_link_libraries(${target} PUBLIC PostgreSQL::PostgreSQL)
    target_compile_definitions(${target} PUBLIC QM_HAVE_POSTGRES=1)
  else()
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pg_store_stub.cc)
    target_compile_definitions(${target} PUBLIC QM_HAVE_POSTGRES=0)
    message(STATUS "libpq not found: quillmoth-server built with SQLite storage only")
  endif()
endfunction()

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

# The test and benchmark frameworks are optional: the program itself needs only
# a compiler and CMake. Each switch is AUTO, ON or OFF; AUTO builds the part
# when its framework is found and says so in one line when not.

# qm_resolve_framework(<switch> <package> <name> <what> <debian package> <result>)
# sets <result> to TRUE when the part is to be built.
function(qm_resolve_framework switch package name what debian result)
  set(${result} FALSE PARENT_SCOPE)
  if(NOT ${switch})
    return()
  endif()
  find_package(${package} QUIET)
  if(${package}_FOUND)
    set(${result} TRUE PARENT_SCOPE)
  elseif("${${switch}}" STREQUAL "AUTO")
    message(STATUS "${name} not found: ${what} not built (Debian package ${debian})")
  else()
    message(FATAL_ERROR "${switch}=${${switch}} needs ${name} (Debian package ${debian})")
  endif()
endfunction()

qm_resolve_framework(QUILLMOTH_TESTS GTest GoogleTest "tests" libgtest-dev QM_BUILD_TESTS)
qm_resolve_framework(QUILLMOTH_BENCH benchmark "Google Benchmark" "kernel benchmarks" libbenchmark-dev QM_BUILD_BENCH)

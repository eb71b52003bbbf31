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
  if(NOT ${package}_FOUND)
    find_package(${package} QUIET)
  endif()
  if(${package}_FOUND)
    set(${result} TRUE PARENT_SCOPE)
  elseif("${${switch}}" STREQUAL "AUTO")
    message(STATUS "${name} not found: ${what} not built (Debian package ${debian})")
  else()
    message(FATAL_ERROR "${switch}=${${switch}} needs ${name} (Debian package ${debian})")
  endif()
endfunction()

# A cross build finds no GoogleTest for its target among the installed
# libraries (and, given only the cross variables without a find root, would
# find the build machine's); Debian's googletest package carries the sources,
# built here for the target instead.
set(QM_GTEST_SOURCES /usr/src/googletest CACHE PATH "GoogleTest sources, built when cross compiling")
if(CMAKE_CROSSCOMPILING AND QUILLMOTH_TESTS AND EXISTS ${QM_GTEST_SOURCES}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QM_GTEST_SOURCES} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # Little optimised, as the test programs are: at the build's own level
  # GoogleTest took the longest of any file to cross-compile.
  foreach(lib gtest gtest_main)
    target_compile_options(${lib} PRIVATE $<IF:$<CXX_COMPILER_ID:GNU>,-Og,-O0>)
  endforeach()
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  set(GTest_FOUND TRUE)
endif()
# Nor is the build machine's Google Benchmark any use to a cross build.
if(CMAKE_CROSSCOMPILING AND QUILLMOTH_BENCH STREQUAL "AUTO")
  message(STATUS "cross build: kernel benchmarks not built")
  set(QUILLMOTH_BENCH OFF)
endif()

qm_resolve_framework(QUILLMOTH_TESTS GTest GoogleTest "tests" libgtest-dev QM_BUILD_TESTS)
qm_resolve_framework(QUILLMOTH_BENCH benchmark "Google Benchmark" "kernel benchmarks" libbenchmark-dev QM_BUILD_BENCH)

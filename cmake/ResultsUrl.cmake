# The results service URL is a build-time constant. It is checked and split
# into host, port and base path here, at configure time, so that a URL the
# client cannot use never reaches a build. The pieces go into one small
# generated library, so that a test build can link the same program against
# a loopback URL instead.
#
# Script mode, for the tests: cmake -DQM_SPLIT_URL=<url> -P ResultsUrl.cmake
# prints "host=<h> port=<p> path=<base path>" or fails.

# qm_split_results_url(<url> <prefix>) sets <prefix>_HOST, <prefix>_PORT and
# <prefix>_PATH in the caller's scope.
function(qm_split_results_url url prefix)
  # Host names and IPv4 addresses only, and a path without spaces, quotes or
  # backslashes: the pieces go into the request and into C++ literals as they
  # are. No query, fragment or user part: the client has no use for them.
  set(path_chars "A-Za-z0-9._~!$&'()*+,;=:@%/-")
  if(NOT url MATCHES "^http://([A-Za-z0-9][A-Za-z0-9.-]*)(:([0-9]+))?(/[${path_chars}]*)?$")
    message(FATAL_ERROR "QUILLMOTH_RESULTS_URL must be http://host[:port][/path], got '${url}'")
  endif()
  set(host "${CMAKE_MATCH_1}")
  set(port "${CMAKE_MATCH_3}")
  set(path "${CMAKE_MATCH_4}")
  string(REGEX REPLACE "/+$" "" path "${path}")

  string(LENGTH "${host}" host_length)
  if(host_length GREATER 255)
    message(FATAL_ERROR "QUILLMOTH_RESULTS_URL has a host name longer than 255 characters")
  endif()
  if(port STREQUAL "")
    set(port 80)
  endif()
  string(LENGTH "${port}" port_length)
  if(port_length GREATER 5)
    message(FATAL_ERROR "QUILLMOTH_RESULTS_URL has an invalid port: ${port}")
  endif()
  math(EXPR port "${port}")  # drops leading zeros
  if(port GREATER 65535 OR port EQUAL 0)
    message(FATAL_ERROR "QUILLMOTH_RESULTS_URL has an invalid port: ${port}")
  endif()
  # The request path "<base path>/api/v1/submissions" must fit 511 characters.
  string(LENGTH "${path}" path_length)
  if(path_length GREATER 492)
    message(FATAL_ERROR "QUILLMOTH_RESULTS_URL has a path longer than 492 characters")
  endif()

  set(${prefix}_HOST "${host}" PARENT_SCOPE)
  set(${prefix}_PORT "${port}" PARENT_SCOPE)
  set(${prefix}_PATH "${path}" PARENT_SCOPE)
endfunction()

# qm_add_results_url_library(<target> <url>): a static library that defines
# the constants of src/submit/results_url.h for <url>.
function(qm_add_results_url_library target url)
  qm_split_results_url("${url}" QM_URL)
  set(QM_URL "${url}")
  set(QM_URL_SOURCE "${url}")
  set(generated "${PROJECT_BINARY_DIR}/generated/${target}.cc")
  configure_file("${PROJECT_SOURCE_DIR}/src/submit/results_url.cc.in" "${generated}" @ONLY)
  add_library(${target} STATIC "${generated}")
  target_include_directories(${target} PRIVATE "${PROJECT_SOURCE_DIR}/src")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(DEFINED QM_SPLIT_URL)
    qm_split_results_url("${QM_SPLIT_URL}" split)
    message(STATUS "host=${split_HOST} port=${split_PORT} path=${split_PATH}")
  endif()
else()
  # The program's own URL. Programs link it through qm_submit; one that sets
  # the target property QM_LOOPBACK_RESULTS_URL gets qm_results_url_loopback.
  qm_add_results_url_library(qm_results_url "${QUILLMOTH_RESULTS_URL}")
endif()

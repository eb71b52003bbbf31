# Debian's cpp-httplib ships a shared library and a pkg-config file but no
# CMake package. This finds it and defines httplib::httplib, carrying the
# compile definitions the library was built with: the class layouts in the
# header depend on them.
find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(PC_HTTPLIB QUIET cpp-httplib)
endif()

find_path(HTTPLIB_INCLUDE_DIR httplib.h HINTS ${PC_HTTPLIB_INCLUDE_DIRS})
find_library(HTTPLIB_LIBRARY NAMES cpp-httplib HINTS ${PC_HTTPLIB_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(httplib
  REQUIRED_VARS HTTPLIB_LIBRARY HTTPLIB_INCLUDE_DIR
  VERSION_VAR PC_HTTPLIB_VERSION)

if(httplib_FOUND AND NOT TARGET httplib::httplib)
  add_library(httplib::httplib UNKNOWN IMPORTED)
  set_target_properties(httplib::httplib PROPERTIES
    IMPORTED_LOCATION "${HTTPLIB_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${HTTPLIB_INCLUDE_DIR}")
  # Only the feature switches; include and library flags are set above.
  set(defs "")
  foreach(flag ${PC_HTTPLIB_CFLAGS_OTHER})
    if(flag MATCHES "^-D(.+)$")
      list(APPEND defs "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(defs)
    set_target_properties(httplib::httplib PROPERTIES INTERFACE_COMPILE_DEFINITIONS "${defs}")
  endif()
endif()
mark_as_advanced(HTTPLIB_INCLUDE_DIR HTTPLIB_LIBRARY)

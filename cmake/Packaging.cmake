# Installation and the Debian package. Every installed file belongs to a
# component, and each component becomes a package of its own: "quillmoth" is
# the benchmark, "server" the results service (when it is built).
include(GNUInstallDirs)

set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME quillmoth)

install(TARGETS quillmoth RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quillmoth)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT quillmoth)

set(QUILLMOTH_MAINTAINER "quillmoth authors <quillmoth@example.org>" CACHE STRING
  "Maintainer field of the packages: name <e-mail>")

set(CPACK_PACKAGE_NAME quillmoth)
set(CPACK_PACKAGE_VENDOR "the quillmoth authors")
set(CPACK_PACKAGE_CONTACT "${QUILLMOTH_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

# One package per component, even while there is only one, so the benchmark's
# package stays the same when another component comes along. Each component's
# description begins with its one-line summary.
get_cmake_property(CPACK_COMPONENTS_ALL COMPONENTS)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLMOTH_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The package is for the architecture the program was built for (its
# hand-written kernels are that architecture's code), whatever machine packs it.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QM_DEB_ARCH})
# dpkg-shlibdeps works out libc6, libstdc++6 and libgcc-s1 with their versions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Except in a cross build: its libraries belong to Debian's cross packages
# (libc6-arm64-cross and the like), whose dependency information names those
# packages, not the target's. The dependencies are then stated, no lower than
# the versions built against: the cross C library's, the compiler's major.
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  execute_process(COMMAND dpkg-query -W "-f=\${Version}" libc6-${QM_DEB_ARCH}-cross
    OUTPUT_VARIABLE qm_cross_libc RESULT_VARIABLE qm_cross_libc_status ERROR_QUIET)
  if(qm_cross_libc_status EQUAL 0 AND qm_cross_libc MATCHES "^([0-9]+\\.[0-9]+)")
    set(qm_libc_dep "libc6 (>= ${CMAKE_MATCH_1})")
  else()
    set(qm_libc_dep "libc6")
  endif()
  string(REGEX MATCH "^[0-9]+" qm_cxx_major "${CMAKE_CXX_COMPILER_VERSION}")
  set(CPACK_DEBIAN_QUILLMOTH_PACKAGE_DEPENDS "${qm_libc_dep}, libgcc-s1 (>= 3.0), libstdc++6 (>= ${qm_cxx_major})")
endif()

set(CPACK_DEBIAN_QUILLMOTH_PACKAGE_NAME quillmoth)
set(CPACK_DEBIAN_QUILLMOTH_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_QUILLMOTH_DISPLAY_NAME "quillmoth benchmark")
set(CPACK_COMPONENT_QUILLMOTH_DESCRIPTION "multi-core CPU benchmark
quillmoth measures eleven fixed workloads (integer and floating-point math,
a prime sieve, 128-bit vector code, LZ77 match finding, ChaCha20, an N-body
step, heapsort, memory latency and bandwidth) on all cores and on one, in
hand-written assembly for the processor (x86-64 or arm64) and in portable
C++, checks that every measured run gives the same checksum, and can upload
the result.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME quillmoth-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVER_DISPLAY_NAME "quillmoth results service")
set(CPACK_COMPONENT_SERVER_DESCRIPTION "results service for the quillmoth benchmark
quillmoth-server accepts the result documents that quillmoth uploads,
validates and stores them (SQLite, or PostgreSQL for several instances), and
shows, compares and lets their uploaders claim them in a browser.")

include(CPack)

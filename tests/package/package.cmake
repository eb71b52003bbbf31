# The Debian package, built into a scratch folder and checked without being
# installed. Needs dpkg-deb and dpkg-shlibdeps (Debian packages dpkg and
# dpkg-dev).
find_program(QM_DPKG_DEB dpkg-deb)
find_program(QM_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QM_DPKG_DEB AND QM_DPKG_SHLIBDEPS)
  add_test(NAME Package.Deb
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_deb.sh
      ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION} ${QM_DEB_ARCH}
      ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(Package.Deb PROPERTIES LABELS package TIMEOUT 300)
else()
  message(STATUS "dpkg-deb or dpkg-shlibdeps not found: package test not built (Debian package dpkg-dev)")
endif()

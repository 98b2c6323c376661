# Installation (cmake --install, make install) and the Debian package
# (make deb): the program, the shared library with its SONAME, the header,
# pkg-config and CMake package files, the man page, the service unit and an
# example host program.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The SONAME carries the API's major version: libtwsmb3s.so.1.
set_target_properties(twsmb3s PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                      EXPORT_NAME twsmb3s PUBLIC_HEADER ${CMAKE_SOURCE_DIR}/include/twsmb3s.h)
target_include_directories(twsmb3s INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS twsmb3s_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS twsmb3s EXPORT twsmb3sTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(TW3_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/twsmb3s)
install(EXPORT twsmb3sTargets NAMESPACE twsmb3s:: DESTINATION ${TW3_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/twsmb3sConfig.cmake.in
  ${CMAKE_BINARY_DIR}/twsmb3sConfig.cmake INSTALL_DESTINATION ${TW3_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/twsmb3sConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/twsmb3sConfig.cmake ${CMAKE_BINARY_DIR}/twsmb3sConfigVersion.cmake
        DESTINATION ${TW3_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so it stays right under
# any --prefix and DESTDIR.
file(RELATIVE_PATH TW3_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TW3_PC_TO_PREFIX "${TW3_PC_TO_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/twsmb3s.pc.in ${CMAKE_BINARY_DIR}/twsmb3s.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/twsmb3s.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${CMAKE_SOURCE_DIR}/man/twsmb3s.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/examples/host.c ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt
              ${CMAKE_SOURCE_DIR}/examples/Makefile ${CMAKE_SOURCE_DIR}/packaging/twsmb3s.conf.example
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The unit names the program by the prefix it is installed under, which is
# known only at install time (cmake --install --prefix, CPack's /usr).
install(CODE "
  set(TW3_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  string(MD5 TW3_UNIT_TAG \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(TW3_UNIT \"${CMAKE_BINARY_DIR}/unit/\${TW3_UNIT_TAG}/twsmb3s.service\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/twsmb3s.service.in\" \"\${TW3_UNIT}\" @ONLY)
  file(INSTALL \"\${TW3_UNIT}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME twsmb3s)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "twsmb3s maintainers <twsmb3s@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small read-only SMB 3 file server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A small, self-contained, read-only SMB 3.x file server, with its embedding library,\n  its man page and a hardened systemd unit.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)

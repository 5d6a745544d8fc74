# Install: the shared object, its one public header, a CMake package
# (zorclient::zorclient) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(ZORCLIENT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zorclient)

install(TARGETS zorclient EXPORT zorclient-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT zorclient-targets NAMESPACE zorclient:: DESTINATION ${ZORCLIENT_CMAKE_DIR})

configure_package_config_file(cmake/zorclient-config.cmake.in
  ${PROJECT_BINARY_DIR}/zorclient-config.cmake INSTALL_DESTINATION ${ZORCLIENT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zorclient-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zorclient-config.cmake
              ${PROJECT_BINARY_DIR}/zorclient-config-version.cmake
        DESTINATION ${ZORCLIENT_CMAKE_DIR})

file(RELATIVE_PATH ZORCLIENT_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
configure_file(cmake/zorclient.pc.in ${PROJECT_BINARY_DIR}/zorclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zorclient.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

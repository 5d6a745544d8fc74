# SPDX-License-Identifier: MIT
# Install: the shared object, its one public header, a CMake package
# (zorclient::zorclient) and a pkg-config file. Components, as Debian splits
# a library: "runtime" the shared object alone, "dev" what building against
# it needs, "tools" zor-resolve with its manual page.
include(CMakePackageConfigHelpers)

set(ZORCLIENT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zorclient)

install(TARGETS zorclient EXPORT zorclient-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT zorclient-targets NAMESPACE zorclient:: DESTINATION ${ZORCLIENT_CMAKE_DIR}
        COMPONENT dev)

configure_package_config_file(cmake/zorclient-config.cmake.in
  ${PROJECT_BINARY_DIR}/zorclient-config.cmake INSTALL_DESTINATION ${ZORCLIENT_CMAKE_DIR})
# Compatible: every release from the first with this SONAME up to this one.
configure_file(cmake/zorclient-config-version.cmake.in
  ${PROJECT_BINARY_DIR}/zorclient-config-version.cmake @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zorclient-config.cmake
              ${PROJECT_BINARY_DIR}/zorclient-config-version.cmake
        DESTINATION ${ZORCLIENT_CMAKE_DIR} COMPONENT dev)

if(ZORCLIENT_ORB STREQUAL "TAO")
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/ZorclientTao.cmake DESTINATION ${ZORCLIENT_CMAKE_DIR}
          COMPONENT dev)
  set(ZORCLIENT_PC_REQUIRES "")
  set(ZORCLIENT_PC_ORB_LIBS "-L${TAO_ROOT}/lib -Wl,--disable-new-dtags -Wl,-rpath,${TAO_ROOT}/lib -lTAO_CosNaming -lTAO_Messaging -lTAO_PI -lTAO_CodecFactory -lTAO_Valuetype -lTAO_PortableServer -lTAO_AnyTypeCode -lTAO -lACE")
  set(ZORCLIENT_PC_ORB_CFLAGS "-isystem ${TAO_ROOT}/include -DZORCLIENT_ORB_TAO")
else()
  set(ZORCLIENT_PC_REQUIRES "omniORB4")
  set(ZORCLIENT_PC_ORB_LIBS "")
  set(ZORCLIENT_PC_ORB_CFLAGS "")
endif()
# Paths under the prefix go through ${prefix}, and the prefix is found from
# the file's own place (${pcfiledir}): an install moved elsewhere is found
# through PKG_CONFIG_PATH alone, and no variable need be redefined (which
# would redefine the ORB's own .pc file's too). Under /usr it stays /usr, as
# in Debian's own .pc files, so that pkg-config knows its system folders.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(ZORCLIENT_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH ZORCLIENT_PC_PREFIX "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig"
       "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "/$" "" ZORCLIENT_PC_PREFIX "\${pcfiledir}/${ZORCLIENT_PC_PREFIX}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(ZORCLIENT_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(ZORCLIENT_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(cmake/zorclient.pc.in ${PROJECT_BINARY_DIR}/zorclient.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zorclient.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# SPDX-License-Identifier: MIT
# Debian packages through CPack, as Debian splits a library:
#   libzorclient<soversion>  the shared object alone, with shlibs and symbols
#                            files and an ldconfig trigger;
#   libzorclient-dev         header, .so link, CMake package, pkg-config file;
#   zorclient-tools          zor-resolve and its manual page.
# Built on omniORB and ACE from Debian, whose packages the Depends name.
# scripts/package.sh configures with ZORCLIENT_DEB_PACKAGING=ON and runs cpack.
if(NOT ZORCLIENT_ORB STREQUAL "omniORB")
  message(FATAL_ERROR "Debian packages are built on Debian's omniORB, not on ${ZORCLIENT_ORB}")
endif()

set(ZORCLIENT_DEB_MAINTAINER "The zorclient developers <zorclient-devel@example.org>")
set(runtime_package libzorclient${PROJECT_VERSION_MAJOR})
set(debian_dir ${PROJECT_BINARY_DIR}/debian)

# What every package carries in /usr/share/doc: the copyright and, as a
# native package, the changelog, compressed reproducibly.
configure_file(cmake/debian/changelog.in ${debian_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${debian_dir}/changelog.gz
  COMMAND sh -c "gzip -9n -c '${debian_dir}/changelog' > '${debian_dir}/changelog.gz'"
  DEPENDS ${debian_dir}/changelog VERBATIM)
add_custom_target(zorclient-deb-changelog ALL DEPENDS ${debian_dir}/changelog.gz)
foreach(component_package IN ITEMS "runtime:${runtime_package}" "dev:libzorclient-dev"
                                   "tools:zorclient-tools")
  string(REPLACE ":" ";" pair "${component_package}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES cmake/debian/copyright ${debian_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
configure_file(cmake/debian/symbols.in ${debian_dir}/symbols @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zorclient)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# CPack puts any summary but its own default before each package's
# description, whose first line is that package's synopsis already.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_CONTACT "${ZORCLIENT_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZORCLIENT_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS OFF)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${debian_dir}/symbols ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(about "zorclient gives the C++ modules of a process one process-wide ORB, a
connection to a CORBA Naming Service on a host they name (port 9999), the
naming context held for the whole process, and three-part names resolved
into object references, through three functions: initCorba, getNameService
and createObject. It is built on omniORB and ACE.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "ready-made CORBA client for the modules of a process
${about}

This package contains the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzorclient-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "${runtime_package} (= ${PROJECT_VERSION}), libomniorb4-dev, libace-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "ready-made CORBA client for process modules - development files
${about}

This package contains the header, the CMake package (zorclient::zorclient)
and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zorclient-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
# zor-resolve's own libzorclient is found in the build; its dependency on it
# is the one below, as the runtime package's shlibs file would give it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/exports)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${runtime_package} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "ready-made CORBA client for process modules - tools
${about}

This package contains zor-resolve, which looks a three-part name up on a
naming service from the command line.")

include(CPack)

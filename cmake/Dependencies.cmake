# SPDX-License-Identifier: MIT
# The ORB and the ACE it runs on. ZORCLIENT_ORB_LIBRARIES names the targets
# every part of the build links for them; ZORCLIENT_ORB_PUBLIC_LIBRARIES what
# the public header needs, and so every user of the library (never ACE on
# omniORB); ZORCLIENT_ORB_CORE_LIBRARIES the ORB's core alone, as a plain
# client host links it.
set(ZORCLIENT_ORB "omniORB" CACHE STRING "The ORB to build on: omniORB (Debian) or TAO (TAO_ROOT)")
set_property(CACHE ZORCLIENT_ORB PROPERTY STRINGS omniORB TAO)

if(ZORCLIENT_ORB STREQUAL "omniORB")
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(ZORCLIENT_OMNIORB REQUIRED IMPORTED_TARGET omniORB4)
  pkg_check_modules(ZORCLIENT_ACE REQUIRED IMPORTED_TARGET ACE)
  set(ZORCLIENT_ORB_LIBRARIES PkgConfig::ZORCLIENT_OMNIORB PkgConfig::ZORCLIENT_ACE)
  set(ZORCLIENT_ORB_PUBLIC_LIBRARIES PkgConfig::ZORCLIENT_OMNIORB)
  set(ZORCLIENT_ORB_CORE_LIBRARIES PkgConfig::ZORCLIENT_OMNIORB)
elseif(ZORCLIENT_ORB STREQUAL "TAO")
  set(TAO_ROOT "" CACHE PATH "Prefix holding TAO's and its own ACE's include/ and lib/")
  include(${CMAKE_CURRENT_LIST_DIR}/ZorclientTao.cmake)
  zorclient_import_tao("${TAO_ROOT}")
  set(ZORCLIENT_ORB_LIBRARIES zorclient::tao)
  set(ZORCLIENT_ORB_PUBLIC_LIBRARIES zorclient::tao)
  set(ZORCLIENT_ORB_CORE_LIBRARIES zorclient::tao_core)
else()
  message(FATAL_ERROR "ZORCLIENT_ORB must be omniORB or TAO, not '${ZORCLIENT_ORB}'")
endif()

# libidn2: the IDNA form of a host name written outside ASCII, for the
# reason the library gives when it refuses one.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZORCLIENT_IDN2 REQUIRED IMPORTED_TARGET libidn2)

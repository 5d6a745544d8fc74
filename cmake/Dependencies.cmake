# The ORB (omniORB 4) and ACE, both found through pkg-config.
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZORCLIENT_OMNIORB REQUIRED IMPORTED_TARGET omniORB4)
pkg_check_modules(ZORCLIENT_ACE REQUIRED IMPORTED_TARGET ACE)

// SPDX-License-Identifier: MIT
// Put in front of the ORB library with LD_PRELOAD, CORBA::ORB_init fails as a
// broken ORB library might: ZORTEST_ORB_INIT=nil gives a nil ORB,
// ZORTEST_ORB_INIT=throw throws an exception that is no CORBA exception.
#include "orb_platform.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

CORBA::ORB_ptr failingOrbInit() {
    const char* how = std::getenv("ZORTEST_ORB_INIT");
    if (how != nullptr && std::strcmp(how, "throw") == 0) {
        throw std::runtime_error("the ORB library ran out of something");
    }
    return CORBA::ORB::_nil();
}

}  // namespace

// Each ORB library declares ORB_init with parameters of its own.
#if defined(ZORCLIENT_ORB_TAO)
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(int& /*argc*/,
                                                                      char* /*argv*/[],
                                                                      const char* /*orb_name*/) {
    return failingOrbInit();
}
#else
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(
    int& /*argc*/, char** /*argv*/, const char* /*orb_identifier*/, const char* /*options*/[][2]) {
    return failingOrbInit();
}
#endif

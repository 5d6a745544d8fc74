// SPDX-License-Identifier: MIT
// The time bound on the library's remote calls: when a call must end, and
// references whose calls give up after their share of it.
#include "orb_runtime.h"

namespace OrbRuntime {
namespace {

template <typename Interface>
typename Interface::_ptr_type bounded(CORBA::ORB_ptr orb, typename Interface::_ptr_type ref,
                                      CORBA::ULong ms) {
    if (ms != 0) {
        try {
            return OrbPlatform::withCallTimeout<Interface>(orb, ref, ms);
        } catch (const CORBA::Exception&) {
            reportBoundNotInForce();
        }
    }
    return Interface::_duplicate(ref);
}

}  // namespace

Deadline callDeadline() {
    const CORBA::ULong ms = callTimeoutMs();
    return ms == 0 ? Deadline::max() : Deadline::clock::now() + std::chrono::milliseconds(ms);
}

CORBA::Object_ptr boundedObject(CORBA::ORB_ptr orb, CORBA::Object_ptr ref, CORBA::ULong ms) {
    return bounded<CORBA::Object>(orb, ref, ms);
}

CosNaming::NamingContext_ptr boundedContext(CORBA::ORB_ptr orb, CosNaming::NamingContext_ptr ref,
                                            CORBA::ULong ms) {
    return bounded<CosNaming::NamingContext>(orb, ref, ms);
}

}  // namespace OrbRuntime

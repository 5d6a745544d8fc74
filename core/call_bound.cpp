// SPDX-License-Identifier: MIT
// The time bound on the library's remote calls: when a call must end, and
// references whose calls give up after their share of it.
#include "orb_runtime.h"

#include <algorithm>

namespace OrbRuntime {
namespace {

template <typename Interface>
typename Interface::_ptr_type bounded(CORBA::ORB_ptr orb, typename Interface::_ptr_type ref,
                                      AttemptTime time) {
    if (const auto* timeOut = std::get_if<TimeOut>(&time)) {
        try {
            return OrbPlatform::withCallTimeout<Interface>(orb, ref, std::max(timeOut->ms, 1U));
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

AttemptTime wholeBound() {
    const CORBA::ULong ms = callTimeoutMs();
    return ms == 0 ? AttemptTime(NoTimeOut{}) : AttemptTime(TimeOut{ms});
}

CORBA::Object_ptr boundedObject(CORBA::ORB_ptr orb, CORBA::Object_ptr ref, AttemptTime time) {
    return bounded<CORBA::Object>(orb, ref, time);
}

CosNaming::NamingContext_ptr boundedContext(CORBA::ORB_ptr orb, CosNaming::NamingContext_ptr ref,
                                            AttemptTime time) {
    return bounded<CosNaming::NamingContext>(orb, ref, time);
}

}  // namespace OrbRuntime

// SPDX-License-Identifier: MIT
// TAO: the time bound on a reference's calls, also on an ORB made before the
// library was loaded; part of OrbPlatform, included through orb_platform.h only.
#ifndef ZORCLIENT_CORE_PLATFORM_TAO_CALL_TIMEOUT_H
#define ZORCLIENT_CORE_PLATFORM_TAO_CALL_TIMEOUT_H

#include "platform/tao_pinning.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>
#include <tao/Messaging/Messaging.h>
#include <tao/Messaging/Messaging_Loader.h>
#include <tao/ORB.h>
#include <tao/ORB_Core.h>
#include <tao/Stub.h>

#include <map>

namespace OrbPlatform {

// Back to a type that has been checked already: a local narrow.
template <typename Interface>
typename Interface::_ptr_type narrowChecked(CORBA::Object_ptr object) {
    return Interface::_unchecked_narrow(object);
}

template <>
inline CORBA::Object_ptr narrowChecked<CORBA::Object>(CORBA::Object_ptr object) {
    return CORBA::Object::_duplicate(object);
}

// What TAO's Messaging library installs in every ORB created after it was
// loaded: the call's round-trip time-out from the reference's own policies.
// A reference without the policy has no time-out, as before.
inline void roundTripTimeoutHook(TAO_ORB_Core* core, TAO_Stub* stub, bool& hasTimeout,
                                 ACE_Time_Value& timeout) {
    hasTimeout = false;
    try {
        const CORBA::Policy_var policy =
            stub != nullptr ? stub->get_cached_policy(TAO_CACHED_POLICY_RELATIVE_ROUNDTRIP_TIMEOUT)
                            : core->get_cached_policy_including_current(
                                  TAO_CACHED_POLICY_RELATIVE_ROUNDTRIP_TIMEOUT);
        const Messaging::RelativeRoundtripTimeoutPolicy_var roundTrip =
            Messaging::RelativeRoundtripTimeoutPolicy::_narrow(policy.in());
        if (CORBA::is_nil(roundTrip.in())) {
            return;
        }
        const TimeBase::TimeT units = roundTrip->relative_expiry();  // of 100 ns
        timeout.set(static_cast<time_t>(units / 10000000),
                    static_cast<suseconds_t>((units % 10000000) / 10));
        hasTimeout = true;
    } catch (const CORBA::Exception&) {
        hasTimeout = false;
    }
}

inline CORBA::Any roundTripTimeoutValue(CORBA::ULong ms) {
    CORBA::Any value;
    value <<= static_cast<TimeBase::TimeT>(ms) * 10000;  // in units of 100 ns
    return value;
}

// TAO's Messaging library equips an ORB with the factory for the round-trip
// policy and the hook that reads it only if it was loaded before the
// process's first ORB: its load-time registration is never carried out once
// ACE's service configuration is open. So an ORB created before the library
// was loaded (by a host that links TAO's core alone) has neither:
// - the registration is carried out now, so that ORBs created from now on are
//   equipped, as they would have been had Messaging come first;
// - such an ORB, short-lived and the library's own, makes the policy, once;
// - the ORB at hand gets the hook above, which reads nothing but the policy
//   on the reference a call is made on. The hook stays in that ORB, so the
//   library stays loaded from then on.
// The policy is kept per value: references with one address and with several
// carry different values, and a process may use both.
inline CORBA::Policy_ptr roundTripTimeoutForUnequippedOrb(CORBA::ORB_ptr orb, CORBA::ULong ms) {
    static ACE_Thread_Mutex lock;
    static bool registered = false;
    static TAO_ORB_Core* equipped = nullptr;
    static std::map<CORBA::ULong, CORBA::Policy_var> made;
    const ACE_Guard<ACE_Thread_Mutex> guard(lock);
    if (!registered) {
        TAO_Messaging_Loader loader;
        if (loader.init(0, nullptr) != 0) {
            throw CORBA::INITIALIZE();
        }
        registered = true;
    }
    CORBA::Policy_var& policy = made[ms];
    if (CORBA::is_nil(policy.in())) {
        int noArguments = 0;
        const CORBA::ORB_var factory =
            CORBA::ORB_init(noArguments, nullptr, "zorclient-round-trip-policy");
        try {
            policy = factory->create_policy(Messaging::RELATIVE_RT_TIMEOUT_POLICY_TYPE,
                                            roundTripTimeoutValue(ms));
        } catch (...) {
            factory->destroy();
            throw;
        }
        factory->destroy();
    }
    if (equipped != orb->orb_core()) {
        pinObjectOf(reinterpret_cast<const void*>(&roundTripTimeoutHook));
        orb->orb_core()->set_timeout_hook(&roundTripTimeoutHook);
        equipped = orb->orb_core();
    }
    return policy->copy();
}

// The same object through a new reference whose calls give up after `ms`:
// a relative round-trip time-out overridden on that reference alone.
template <typename Interface>
typename Interface::_ptr_type withCallTimeout(CORBA::ORB_ptr orb, typename Interface::_ptr_type ref,
                                              CORBA::ULong ms) {
    CORBA::PolicyList policies(1);
    policies.length(1);
    try {
        policies[0] = orb->create_policy(Messaging::RELATIVE_RT_TIMEOUT_POLICY_TYPE,
                                         roundTripTimeoutValue(ms));
    } catch (const CORBA::PolicyError&) {
        policies[0] = roundTripTimeoutForUnequippedOrb(orb, ms);
    }
    const CORBA::Object_var bounded = ref->_set_policy_overrides(policies, CORBA::SET_OVERRIDE);
    policies[0]->destroy();
    return narrowChecked<Interface>(bounded.in());
}

}  // namespace OrbPlatform

#endif

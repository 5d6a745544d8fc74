// SPDX-License-Identifier: MIT
// TAO's side of OrbPlatform; included through orb_platform.h only.
#ifndef ZORCLIENT_CORE_PLATFORM_TAO_H
#define ZORCLIENT_CORE_PLATFORM_TAO_H

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>
#include <orbsvcs/CosNamingC.h>
#include <tao/MProfile.h>
#include <tao/Messaging/Messaging.h>
#include <tao/Messaging/Messaging_Loader.h>
#include <tao/ORB.h>
#include <tao/ORB_Core.h>
#include <tao/PortableServer/PortableServer.h>
#include <tao/Profile.h>
#include <tao/Stub.h>
#include <tao/SystemException.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <pthread.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <string>

namespace OrbPlatform {

// TAO shares one ORB among all who initialise it under the same identifier.
inline const char* orbInitId(const char* libraryOrbId) {
    return libraryOrbId;
}

// The object (shared object or program) that holds `code`, kept loaded for
// the rest of the process.
inline void pinObjectOf(const void* code) {
    Dl_info info{};
    if (dladdr(code, &info) != 0 && info.dli_fname != nullptr) {
        dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);  // never closed
    }
}

// The sonames of the TAO and ACE libraries that the object holding this very
// function names as its own dependencies.
inline void pinOwnOrbDependencies() {
    Dl_info info{};
    link_map* self = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&pinOwnOrbDependencies), &info,
                reinterpret_cast<void**>(&self), RTLD_DL_LINKMAP) == 0 ||
        self == nullptr) {
        return;
    }
    const char* strings = nullptr;
    for (const ElfW(Dyn)* entry = self->l_ld; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag == DT_STRTAB) {
            // Most loaders relocate the dynamic section in place, some do not.
            ElfW(Addr) address = entry->d_un.d_ptr;
            if (address < self->l_addr) {
                address += self->l_addr;
            }
            strings = reinterpret_cast<const char*>(address);  // NOLINT(performance-no-int-to-ptr)
        }
    }
    if (strings == nullptr) {
        return;
    }
    for (const ElfW(Dyn)* entry = self->l_ld; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag != DT_NEEDED) {
            continue;
        }
        const char* soname = strings + entry->d_un.d_val;
        if (std::strncmp(soname, "libTAO", 6) == 0 || std::strncmp(soname, "libACE", 6) == 0) {
            dlopen(soname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);  // never closed
        }
    }
}

// Makes the root POA available to the ORB the library creates. What the ORB
// libraries the library depends on register lives in ACE's process-wide
// service repository and is finalised at process exit, so those libraries
// (and what they need in turn) stay mapped even after the library itself has
// been unloaded. Other modules' ORB libraries are left as they are.
inline int registerPortableServer() {
    static const bool pinned = (pinOwnOrbDependencies(), true);
    static_cast<void>(pinned);
    return TAO_POA_Initializer::init();
}

inline std::string systemExceptionText(const CORBA::SystemException& ex) {
    return ex._info().c_str();  // _info() returns a temporary: copy it here
}

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
inline CORBA::Policy_ptr roundTripTimeoutForUnequippedOrb(CORBA::ORB_ptr orb, CORBA::ULong ms) {
    static ACE_Thread_Mutex lock;
    static bool registered = false;
    static TAO_ORB_Core* equipped = nullptr;
    static CORBA::ULong madeForMs = 0;
    static CORBA::Policy_var made;
    const ACE_Guard<ACE_Thread_Mutex> guard(lock);
    if (!registered) {
        TAO_Messaging_Loader loader;
        if (loader.init(0, nullptr) != 0) {
            throw CORBA::INITIALIZE();
        }
        registered = true;
    }
    if (CORBA::is_nil(made.in()) || madeForMs != ms) {
        int noArguments = 0;
        const CORBA::ORB_var factory =
            CORBA::ORB_init(noArguments, nullptr, "zorclient-round-trip-policy");
        try {
            made = factory->create_policy(Messaging::RELATIVE_RT_TIMEOUT_POLICY_TYPE,
                                          roundTripTimeoutValue(ms));
            madeForMs = ms;
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
    return made->copy();
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

// How many addresses the reference names: a corbaloc URL may name several.
inline std::size_t addressCount(CORBA::Object_ptr ref) {
    TAO_Stub* const stub = ref->_stubobj();
    if (stub == nullptr) {
        return 1;
    }
    const TAO_MProfile& profiles = stub->base_profiles();
    std::size_t count = 0;
    for (CORBA::ULong i = 0; i < profiles.profile_count(); ++i) {
        count += profiles.get_profile(i)->endpoint_count();
    }
    return count;
}

// Which address a call on the reference is about to use, and moving on from
// it after a call there timed out. TAO keeps calling over a connection that
// stopped answering, and keeps connecting to the same address after a
// connection timed out: the reference itself is moved on to its next address
// (round to the first after the last), unless a call on another thread has
// moved it already. Every holder of the reference moves with it.
using AddressMark = const void*;

inline AddressMark addressInUse(CORBA::Object_ptr ref) {
    TAO_Stub* const stub = ref->_stubobj();
    return stub != nullptr ? stub->profile_in_use_ptr() : nullptr;
}

inline void moveOnFrom(CORBA::Object_ptr ref, AddressMark used) {
    TAO_Stub* const stub = ref->_stubobj();
    if (stub == nullptr || stub->profile_in_use_ptr() != used) {
        return;
    }
    if (!stub->next_profile()) {
        stub->reset_profiles();
    }
}

// TAO's invocation path is not safe to unwind by thread cancellation: its
// transports keep pointers into the cancelled frames, and the next call on
// the connection crashes. So cancellation waits until the call has returned
// (within the time bound, when one is set) and is acted on then.
template <typename Call>
ZORCLIENT_LETS_CANCELLATION_THROUGH auto cancellationSafe(Call call) -> decltype(call()) {
    int previous = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    std::exception_ptr failure;
    decltype(call()) result;
    try {
        result = call();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    pthread_setcancelstate(previous, nullptr);
    pthread_testcancel();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return result;
}

}  // namespace OrbPlatform

#endif

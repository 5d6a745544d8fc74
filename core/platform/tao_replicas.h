// SPDX-License-Identifier: MIT
// TAO: the addresses a reference names and moving on from one that stopped
// answering; part of OrbPlatform, included through orb_platform.h only.
#ifndef ZORCLIENT_CORE_PLATFORM_TAO_REPLICAS_H
#define ZORCLIENT_CORE_PLATFORM_TAO_REPLICAS_H

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>
#include <tao/MProfile.h>
#include <tao/Object.h>
#include <tao/Profile.h>
#include <tao/Stub.h>

#include <cstddef>

namespace OrbPlatform {

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
// moved it already: checking and moving are one step, so two calls that time
// out together move it once. Every holder of the reference moves with it.
using AddressMark = const void*;

inline AddressMark addressInUse(CORBA::Object_ptr ref) {
    TAO_Stub* const stub = ref->_stubobj();
    return stub != nullptr ? stub->profile_in_use_ptr() : nullptr;
}

inline void moveOnFrom(CORBA::Object_ptr ref, AddressMark used) {
    static ACE_Thread_Mutex moving;
    const ACE_Guard<ACE_Thread_Mutex> guard(moving);
    TAO_Stub* const stub = ref->_stubobj();
    if (stub == nullptr || stub->profile_in_use_ptr() != used) {
        return;
    }
    if (!stub->next_profile()) {
        stub->reset_profiles();
    }
}

}  // namespace OrbPlatform

#endif

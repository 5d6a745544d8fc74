// SPDX-License-Identifier: MIT
// TAO's side of OrbPlatform; included through orb_platform.h only. Each
// concern has a header of its own beside this one.
#ifndef ZORCLIENT_CORE_PLATFORM_TAO_H
#define ZORCLIENT_CORE_PLATFORM_TAO_H

#include "platform/tao_call_timeout.h"
#include "platform/tao_cancellation.h"
#include "platform/tao_pinning.h"

#include <orbsvcs/CosNamingC.h>
#include <tao/ORB.h>
#include <tao/SystemException.h>

#include <string>

namespace OrbPlatform {

// TAO shares one ORB among all who initialise it under the same identifier.
inline const char* orbInitId(const char* libraryOrbId) {
    return libraryOrbId;
}

inline std::string systemExceptionText(const CORBA::SystemException& ex) {
    return ex._info().c_str();  // _info() returns a temporary: copy it here
}

// ACE builds without IPv6 unless told otherwise; such a TAO cannot even read
// an IPv6 address in a URL.
#if defined(ACE_HAS_IPV6)
inline constexpr bool kReachesIpv6 = true;
#else
inline constexpr bool kReachesIpv6 = false;
#endif

// "TRANSIENT (OMG minor code 2)": one attempt of several, in a line.
inline std::string shortSystemExceptionText(const CORBA::SystemException& ex) {
    const CORBA::ULong minor = ex.minor();
    const bool omg = (minor & 0xFFFFF000U) == CORBA::OMGVMCID;
    return std::string(ex._name()) + " (" + (omg ? "OMG" : "TAO") + " minor code " +
           std::to_string(minor & 0xFFFU) + ")";
}

}  // namespace OrbPlatform

#endif

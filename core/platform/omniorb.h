// SPDX-License-Identifier: MIT
// omniORB's side of OrbPlatform; included through orb_platform.h only.
#ifndef ZORCLIENT_CORE_PLATFORM_OMNIORB_H
#define ZORCLIENT_CORE_PLATFORM_OMNIORB_H

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

#include <iomanip>
#include <sstream>
#include <string>

namespace OrbPlatform {

// omniORB throws CORBA::INITIALIZE for any identifier but its own; it keeps a
// single ORB per process, so every module that initialises an ORB shares it.
inline const char* orbInitId(const char* /*libraryOrbId*/) {
    return "omniORB4";
}

// omniORB links its portable server into the ORB library: nothing to register.
inline int registerPortableServer() {
    return 0;
}

inline const char* completionText(CORBA::CompletionStatus status) {
    switch (status) {
        case CORBA::COMPLETED_YES:
            return "YES";
        case CORBA::COMPLETED_NO:
            return "NO";
        default:
            return "MAYBE";
    }
}

// omniORB has no _info(): spell out the same facts in the same layout.
inline std::string systemExceptionText(const CORBA::SystemException& ex) {
    const char* described = ex.NP_minorString();
    std::ostringstream text;
    text << "system exception, ID '" << ex._rep_id() << "'\nminor code (0x" << std::hex
         << std::setw(8) << std::setfill('0') << ex.minor() << "), described as '"
         << (described != nullptr ? described : "*unknown description*")
         << "', completed = " << completionText(ex.completed());
    return text.str();
}

// omniORB reaches IPv6 addresses wherever the system does.
inline constexpr bool kReachesIpv6 = true;

// "TRANSIENT (TRANSIENT_ConnectFailed)": one attempt of several, in a line.
inline std::string shortSystemExceptionText(const CORBA::SystemException& ex) {
    const char* described = ex.NP_minorString();
    return std::string(ex._name()) +
           (described != nullptr ? std::string(" (") + described + ")" : "");
}

// omniORB keeps the time-out on the reference object itself (which the
// library made), and a narrow makes a new one without it.
template <typename Interface>
typename Interface::_ptr_type withCallTimeout(CORBA::ORB_ptr /*orb*/,
                                              typename Interface::_ptr_type ref, CORBA::ULong ms) {
    omniORB::setClientCallTimeout(ref, ms);
    return Interface::_duplicate(ref);
}

// omniORB unwinds cleanly from a cancelled call: nothing to hold back.
template <typename Call>
auto cancellationSafe(Call call) -> decltype(call()) {
    return call();
}

}  // namespace OrbPlatform

#endif

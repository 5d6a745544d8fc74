// The one place that knows which ORB the library runs on. Everything else
// uses the standard CORBA C++ mapping only.
#ifndef ZORCLIENT_CORE_ORB_PLATFORM_H
#define ZORCLIENT_CORE_ORB_PLATFORM_H

#include <iomanip>
#include <sstream>
#include <string>

#if defined(ZORCLIENT_ORB_TAO)

#include <orbsvcs/CosNamingC.h>
#include <tao/Messaging/Messaging.h>
#include <tao/ORB.h>
#include <tao/PortableServer/PortableServer.h>
#include <tao/SystemException.h>

namespace OrbPlatform {

// TAO shares one ORB among all who initialise it under the same identifier.
inline const char* orbInitId(const char* libraryOrbId) {
    return libraryOrbId;
}

// Makes the root POA available to the ORB the library creates.
inline int registerPortableServer() {
    return TAO_POA_Initializer::init();
}

inline std::string systemExceptionText(const CORBA::SystemException& ex) {
    return ex._info().c_str();  // _info() returns a temporary: copy it here
}

// The same object through a new reference whose calls give up after `ms`:
// a relative round-trip time-out overridden on that reference alone. The
// type of `ref` has been checked already, so the narrow back is local.
template <typename Interface>
typename Interface::_ptr_type withCallTimeout(CORBA::ORB_ptr orb, typename Interface::_ptr_type ref,
                                              CORBA::ULong ms) {
    CORBA::Any value;
    value <<= static_cast<TimeBase::TimeT>(ms) * 10000;  // in units of 100 ns
    CORBA::PolicyList policies(1);
    policies.length(1);
    policies[0] = orb->create_policy(Messaging::RELATIVE_RT_TIMEOUT_POLICY_TYPE, value);
    const CORBA::Object_var bounded = ref->_set_policy_overrides(policies, CORBA::SET_OVERRIDE);
    policies[0]->destroy();
    return Interface::_unchecked_narrow(bounded.in());
}

}  // namespace OrbPlatform

#else  // omniORB

#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>

namespace OrbPlatform {

// The identifier handed to CORBA::ORB_init for the library's own identifier.
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

// The same object through a new reference whose calls give up after `ms`.
// omniORB keeps the time-out on the reference object itself (which the
// library made), and a narrow makes a new one without it.
template <typename Interface>
typename Interface::_ptr_type withCallTimeout(CORBA::ORB_ptr /*orb*/,
                                              typename Interface::_ptr_type ref, CORBA::ULong ms) {
    omniORB::setClientCallTimeout(ref, ms);
    return Interface::_duplicate(ref);
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

}  // namespace OrbPlatform

#endif  // ZORCLIENT_ORB_TAO

#endif

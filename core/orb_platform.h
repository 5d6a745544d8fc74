// The one place that knows which ORB the library runs on. Everything else
// uses the standard CORBA C++ mapping only.
//
// cancellationSafe(call) runs a remote call so that a cancelled thread
// never leaves the ORB broken; it returns what `call` returns, a _var.
#ifndef ZORCLIENT_CORE_ORB_PLATFORM_H
#define ZORCLIENT_CORE_ORB_PLATFORM_H

#include <cxxabi.h>
#include <pthread.h>

// For functions that catch everything but let thread cancellation through
// with `catch (const abi::__forced_unwind&) { throw; }`: that exception has
// no object, and UBSan's null check wrongly flags the handler's reference.
#define ZORCLIENT_LETS_CANCELLATION_THROUGH __attribute__((no_sanitize("null")))

#include <exception>
#include <iomanip>
#include <sstream>
#include <string>

#if defined(ZORCLIENT_ORB_TAO)

#include <dlfcn.h>
#include <link.h>

#include <vector>

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

// What the ORB libraries register lives in ACE's process-wide service
// repository and is finalised at process exit, so their code must still be
// mapped then, even after the library itself has been unloaded. Every TAO and
// ACE library loaded by now stays loaded for the rest of the process.
inline void pinOrbLibraries() {
    std::vector<std::string> paths;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t /*size*/, void* found) {
            const std::string path = info->dlpi_name;
            const std::string base = path.substr(path.rfind('/') + 1);
            if (base.rfind("libTAO", 0) == 0 || base.rfind("libACE", 0) == 0) {
                static_cast<std::vector<std::string>*>(found)->push_back(path);
            }
            return 0;
        },
        &paths);
    for (const std::string& path : paths) {
        dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);  // never closed
    }
}

// Makes the root POA available to the ORB the library creates.
inline int registerPortableServer() {
    pinOrbLibraries();
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

// The same object through a new reference whose calls give up after `ms`:
// a relative round-trip time-out overridden on that reference alone.
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
    return narrowChecked<Interface>(bounded.in());
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

// omniORB unwinds cleanly from a cancelled call: nothing to hold back.
template <typename Call>
auto cancellationSafe(Call call) -> decltype(call()) {
    return call();
}

}  // namespace OrbPlatform

#endif  // ZORCLIENT_ORB_TAO

#endif

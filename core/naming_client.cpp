// SPDX-License-Identifier: MIT
// The naming-service client: connecting by corbaloc URL, the check-then-store
// of the naming slot, and three-part name resolution.
#include "orb_runtime.h"

#include <ace/Guard_T.h>

#include <arpa/inet.h>
#include <cxxabi.h>

#include <algorithm>
#include <string>

namespace OrbRuntime {
namespace {

// A NUL would end the text early on its way into the ORB: the URL would lose
// its port and key, a name would lose the rest of its id.
bool hasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// Its colons would otherwise read as the port's separator.
bool isBareIpv6(const std::string& host) {
    in6_addr address{};
    return !hasNul(host) && inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// A host text with several entries names one replica's address in each.
// An entry that names none would leave the address to the ORB: an empty
// host is read as this machine, and after a trailing comma the appended
// ":9999" reads as a host of its own. Entries after the first carry their
// own protocol ("iiop:", ":") and maybe a version ("1.1@"); the first comes
// after the URL's own. A text of one entry goes in as it stands.
bool hasEntryNamingNoAddress(const std::string& host) {
    if (host.find(',') == std::string::npos) {
        return false;
    }
    std::size_t start = 0;
    for (bool first = true;; first = false) {
        const std::size_t end = host.find(',', start);
        std::string address = host.substr(start, end == std::string::npos ? end : end - start);
        if (!first) {
            for (const char* protocol : {"iiop:", ":"}) {
                if (address.rfind(protocol, 0) == 0) {
                    address.erase(0, std::char_traits<char>::length(protocol));
                    const std::size_t version = address.find('@');
                    if (version != std::string::npos) {
                        address.erase(0, version + 1);
                    }
                    break;
                }
            }
        }
        if (address.empty() || address[0] == ':') {
            return true;
        }
        if (end == std::string::npos) {
            return false;
        }
        start = end + 1;
    }
}

// A reference that names several addresses (replicas of one naming
// service) gets one attempt per address and one more: a call that finds its
// replica gone or cut off goes on to another. With the bound set, the
// attempts share it, so the whole call still ends within the bound.
CORBA::ULong attemptsFor(CORBA::Object_ptr ref) {
    const std::size_t addresses = OrbPlatform::addressCount(ref);
    return addresses > 1 ? static_cast<CORBA::ULong>(addresses) + 1 : 1;
}

// `ref` itself when no bound is set, else a reference whose calls (each
// attempt) give up after their share of the bound. Either way a new
// reference. A bound the ORB cannot apply never costs the connection: it
// goes on unbounded, and the process is told once.
template <typename Interface>
typename Interface::_ptr_type bounded(CORBA::ORB_ptr orb, typename Interface::_ptr_type ref) {
    const CORBA::ULong timeoutMs = callTimeoutMs();
    if (timeoutMs != 0) {
        const CORBA::ULong attemptMs = std::max<CORBA::ULong>(1, timeoutMs / attemptsFor(ref));
        try {
            return OrbPlatform::withCallTimeout<Interface>(orb, ref, attemptMs);
        } catch (const CORBA::Exception&) {
            reportBoundNotInForce();
        }
    }
    return Interface::_duplicate(ref);
}

// Runs the remote call `call` on `ref`, again after a failure of the
// connection (gone, timed out, refused) while the reference has attempts
// left. Only calls that may be repeated come here: a narrow, a resolve.
template <typename Call>
auto withFailover(CORBA::Object_ptr ref, Call call) -> decltype(call()) {
    for (CORBA::ULong attempt = 1;; ++attempt) {
        const OrbPlatform::AddressMark used = OrbPlatform::addressInUse(ref);
        try {
            return OrbPlatform::cancellationSafe(call);
        } catch (const CORBA::SystemException& ex) {
            const bool timedOut = CORBA::TIMEOUT::_downcast(&ex) != nullptr;
            const bool connectionFailed = timedOut || CORBA::TRANSIENT::_downcast(&ex) != nullptr ||
                                          CORBA::COMM_FAILURE::_downcast(&ex) != nullptr;
            if (!connectionFailed || attempt >= attemptsFor(ref)) {
                throw;
            }
            if (timedOut) {
                OrbPlatform::moveOnFrom(ref, used);
            }
        }
    }
}

}  // namespace

std::string namingServiceUrl(const std::string& host) {
    std::string url = "corbaloc:iiop:1.1@";
    url += isBareIpv6(host) ? "[" + host + "]" : host;
    url += ':';
    url += "9999";
    url += "/NameService";
    return url;
}

CosNaming::Name makeName(const std::string& first, const std::string& second,
                         const std::string& third) {
    CosNaming::Name name;
    name.length(3);
    name[0].id = CORBA::string_dup(first.c_str());
    name[1].id = CORBA::string_dup(second.c_str());
    name[2].id = CORBA::string_dup(third.c_str());
    return name;
}

ZORCLIENT_LETS_CANCELLATION_THROUGH
CosNaming::NamingContext_ptr connectNamingService(CORBA::ORB_ptr orb, const std::string& host,
                                                  int /*reserved*/) {
    if (CORBA::is_nil(orb)) {
        return CosNaming::NamingContext::_nil();
    }
    if (hasNul(host)) {
        traceConnecting(host, "the host text holds a NUL byte");
        return CosNaming::NamingContext::_nil();
    }
    if (hasEntryNamingNoAddress(host)) {
        traceConnecting(host, "an entry of the host text names no address");
        return CosNaming::NamingContext::_nil();
    }
    try {
        const CORBA::Object_var object = orb->string_to_object(namingServiceUrl(host).c_str());
        if (CORBA::is_nil(object.in())) {
            traceConnecting(host, "the URL gave a nil reference");
            return CosNaming::NamingContext::_nil();
        }
        // Bounded before the narrow, the first remote call, and after it, as
        // the narrowed reference may be a new one.
        const CORBA::Object_var reachable = bounded<CORBA::Object>(orb, object.in());
        const CosNaming::NamingContext_var ctx = withFailover(reachable.in(), [&reachable] {
            return CosNaming::NamingContext_var(CosNaming::NamingContext::_narrow(reachable.in()));
        });
        if (CORBA::is_nil(ctx.in())) {
            traceConnecting(host, "the object there is not a naming context");
            return CosNaming::NamingContext::_nil();
        }
        return bounded<CosNaming::NamingContext>(orb, ctx.in());
    } catch (const abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind on through the caller
    } catch (const CORBA::ORB::InvalidName&) {
        traceConnecting(host);
        return CosNaming::NamingContext::_nil();
    } catch (...) {
        traceConnecting(host);
        return CosNaming::NamingContext::_nil();
    }
}

int adoptNamingContext(CosNaming::NamingContext_ptr ctx) {
    if (CORBA::is_nil(ctx)) {
        return -1;
    }
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CosNaming::NamingContext_var held = getNamingContext();
    if (!CORBA::is_nil(held.in())) {
        return 1;
    }
    setNamingContext(ctx);
    return 0;
}

int initNamingService(const std::string& host, int reserved) {
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CosNaming::NamingContext_var held = getNamingContext();
    if (!CORBA::is_nil(held.in())) {
        return 1;
    }
    const CORBA::ORB_var orb = getOrb();
    if (CORBA::is_nil(orb.in())) {
        return -1;
    }
    const CosNaming::NamingContext_var ctx = connectNamingService(orb.in(), host, reserved);
    if (CORBA::is_nil(ctx.in())) {
        return -2;
    }
    setNamingContext(ctx.in());
    return 0;
}

ZORCLIENT_LETS_CANCELLATION_THROUGH
CORBA::Object_ptr resolveName(CosNaming::NamingContext_ptr ctx, const std::string& first,
                              const std::string& second, const std::string& third) {
    if (CORBA::is_nil(ctx)) {
        traceResolving(first, second, third, "no naming context is held");
        return CORBA::Object::_nil();
    }
    if (hasNul(first) || hasNul(second) || hasNul(third)) {
        traceResolving(first, second, third, "a text holds a NUL byte");
        return CORBA::Object::_nil();
    }
    try {
        return withFailover(
                   ctx,
                   [&] { return CORBA::Object_var(ctx->resolve(makeName(first, second, third))); })
            ._retn();
    } catch (const abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind on through the caller
    } catch (const CosNaming::NamingContext::NotFound&) {
        traceResolving(first, second, third);
        return CORBA::Object::_nil();
    } catch (const CosNaming::NamingContext::CannotProceed&) {
        traceResolving(first, second, third);
        return CORBA::Object::_nil();
    } catch (const CosNaming::NamingContext::InvalidName&) {
        traceResolving(first, second, third);
        return CORBA::Object::_nil();
    } catch (...) {
        traceResolving(first, second, third);
        return CORBA::Object::_nil();
    }
}

CORBA::Object_ptr resolveObject(const std::string& first, const std::string& second,
                                const std::string& third) {
    const CosNaming::NamingContext_var ctx = getNamingContext();
    return resolveName(ctx.in(), first, second, third);
}

}  // namespace OrbRuntime

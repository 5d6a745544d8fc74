// SPDX-License-Identifier: MIT
// The naming-service client: connecting by corbaloc URL, the check-then-store
// of the naming slot, and three-part name resolution.
#include "orb_runtime.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <arpa/inet.h>
#include <cxxabi.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

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

// A host name that resolves to several addresses names the replicas behind
// it, as a host text that lists those addresses would: that text. A name
// with one address, an address and a text of several entries stand as they
// are.
std::string replicaText(const std::string& host) {
    if (host.find(',') != std::string::npos) {
        return host;
    }
    in_addr v4{};
    if (host.empty() || inet_pton(AF_INET, host.c_str(), &v4) == 1 || isBareIpv6(host) ||
        host.front() == '[') {
        return host;  // an address already
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return host;  // the ORB says why
    }
    std::vector<std::string> addresses;  // distinct, in the resolver's order
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = entry->ai_family == AF_INET6
                                  ? static_cast<const void*>(
                                        &reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_addr)
                                  : static_cast<const void*>(
                                        &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr);
        if (inet_ntop(entry->ai_family, address, text, sizeof text) == nullptr) {
            continue;
        }
        const std::string written =
            entry->ai_family == AF_INET6 ? "[" + std::string(text) + "]" : text;
        if (std::find(addresses.begin(), addresses.end(), written) == addresses.end()) {
            addresses.push_back(written);
        }
    }
    freeaddrinfo(found);
    if (addresses.size() < 2) {
        return host;
    }
    std::string text = addresses[0];
    for (std::size_t i = 1; i < addresses.size(); ++i) {
        text += ":9999,iiop:1.1@" + addresses[i];
    }
    return text;
}

// The entries of a host text that names several addresses, in order; none
// for a text of one entry, which goes into the URL as it stands.
std::vector<std::string> hostEntries(const std::string& host) {
    std::vector<std::string> entries;
    if (host.find(',') == std::string::npos) {
        return entries;
    }
    std::size_t start = 0;
    for (std::size_t end = host.find(','); end != std::string::npos; end = host.find(',', start)) {
        entries.push_back(host.substr(start, end - start));
        start = end + 1;
    }
    entries.push_back(host.substr(start));
    return entries;
}

// Each entry names one replica's address. An entry that names none would
// leave the address to the ORB: an empty host is read as this machine, and
// after a trailing comma the appended ":9999" reads as a host of its own.
// Entries after the first carry their own protocol ("iiop:", ":") and maybe
// a version ("1.1@"); the first comes after the URL's own.
bool hasEntryNamingNoAddress(const std::vector<std::string>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::string address = entries[i];
        for (const char* protocol : {"iiop:", ":"}) {
            if (i > 0 && address.rfind(protocol, 0) == 0) {
                address.erase(0, std::char_traits<char>::length(protocol));
                const std::size_t version = address.find('@');
                address.erase(0, version == std::string::npos ? 0 : version + 1);
                break;
            }
        }
        if (address.empty() || address[0] == ':') {
            return true;
        }
    }
    return false;
}

// One replica's URL: what the whole URL says of that entry alone.
std::string replicaUrl(const std::vector<std::string>& entries, std::size_t i) {
    std::string url = i == 0 ? "corbaloc:iiop:1.1@" : "corbaloc:";
    url += entries[i];
    url += i + 1 == entries.size() ? ":9999/NameService" : "/NameService";
    return url;
}

// `ref` itself when no bound is set, else a reference whose calls give up
// after the bound divided among `attempts`. Either way a new reference. A
// bound the ORB cannot apply never costs the connection: it goes on
// unbounded, and the process is told once.
template <typename Interface>
typename Interface::_ptr_type bounded(CORBA::ORB_ptr orb, typename Interface::_ptr_type ref,
                                      CORBA::ULong attempts) {
    const CORBA::ULong timeoutMs = callTimeoutMs();
    if (timeoutMs != 0) {
        try {
            return OrbPlatform::withCallTimeout<Interface>(
                orb, ref, std::max<CORBA::ULong>(1, timeoutMs / attempts));
        } catch (const CORBA::Exception&) {
            reportBoundNotInForce();
        }
    }
    return Interface::_duplicate(ref);
}

bool isConnectionFailure(const CORBA::SystemException& ex) {
    return CORBA::TIMEOUT::_downcast(&ex) != nullptr ||
           CORBA::TRANSIENT::_downcast(&ex) != nullptr ||
           CORBA::COMM_FAILURE::_downcast(&ex) != nullptr;
}

// Runs `call` on the replica `inUse` names; after a failure of the
// connection (gone, timed out, refused) `moveOn` leaves that replica and the
// call goes to the one in use then, `attempts` times at most, and only while
// `moveOn` finds replicas to go on to. With the bound
// set, each attempt has its share, so the whole call ends within the bound.
// Only calls that may be repeated come here: a narrow, a resolve.
template <typename InUse, typename MoveOn, typename Call>
auto withFailover(CORBA::ULong attempts, InUse inUse, MoveOn moveOn, Call call)
    -> decltype(call(inUse().in())) {
    for (CORBA::ULong attempt = 1;; ++attempt) {
        const auto replica = inUse();
        try {
            return OrbPlatform::cancellationSafe([&] { return call(replica.in()); });
        } catch (const CORBA::SystemException& ex) {
            if (attempt >= attempts || !isConnectionFailure(ex) || !moveOn(replica.in())) {
                throw;
            }
        }
    }
}

// Held contexts whose host text named several replicas, each with one
// context per replica, the one in use first. Lookups on such a context go
// to its replicas, each bounded to its share, and move on from one whose
// connection fails; the context itself, which the host is handed, keeps the
// whole bound. The newest few are kept: a context that has fallen out (after
// several more connections) is looked up on directly.
using ReplicaSet =
    std::pair<CosNaming::NamingContext_var, std::vector<CosNaming::NamingContext_var>>;
constexpr std::size_t kReplicaSetsKept = 4;
ACE_Thread_Mutex g_replicaLock;
std::vector<ReplicaSet> g_replicaSets;  // newest last

void keepReplicas(CosNaming::NamingContext_ptr held,
                  std::vector<CosNaming::NamingContext_var> replicas) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    if (g_replicaSets.size() == kReplicaSetsKept) {
        g_replicaSets.erase(g_replicaSets.begin());
    }
    g_replicaSets.emplace_back(CosNaming::NamingContext::_duplicate(held), std::move(replicas));
}

// Under g_replicaLock: the replicas of `held`, or null.
std::vector<CosNaming::NamingContext_var>* replicasOf(CosNaming::NamingContext_ptr held) {
    for (ReplicaSet& set : g_replicaSets) {
        if (set.first.in() == held) {
            return &set.second;
        }
    }
    return nullptr;
}

CORBA::ULong replicaCount(CosNaming::NamingContext_ptr held) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    const std::vector<CosNaming::NamingContext_var>* replicas = replicasOf(held);
    return replicas != nullptr ? static_cast<CORBA::ULong>(replicas->size()) : 0;
}

CosNaming::NamingContext_var replicaInUse(CosNaming::NamingContext_ptr held) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    const std::vector<CosNaming::NamingContext_var>* replicas = replicasOf(held);
    return CosNaming::NamingContext::_duplicate(replicas != nullptr ? replicas->front().in()
                                                                    : held);
}

// Checking and moving are one step: calls that fail on one replica together
// move its context on once. False once `held` has no replicas kept.
bool moveOnFrom(CosNaming::NamingContext_ptr held, CosNaming::NamingContext_ptr failed) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    std::vector<CosNaming::NamingContext_var>* replicas = replicasOf(held);
    if (replicas == nullptr) {
        return false;
    }
    if (replicas->front().in() == failed) {
        std::rotate(replicas->begin(), replicas->begin() + 1, replicas->end());
    }
    return true;
}

// The context for a host text of several entries: the narrow goes to each
// replica in turn until one answers, and the context held (from the whole
// URL, so the host's own calls on it reach any replica the ORB can) keeps
// the replicas for the library's lookups, the one that answered in use.
CosNaming::NamingContext_ptr connectReplicas(CORBA::ORB_ptr orb, CORBA::Object_ptr whole,
                                             const std::vector<std::string>& entries) {
    const auto attempts = static_cast<CORBA::ULong>(entries.size()) + 1;
    std::vector<CORBA::Object_var> replicas;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const CORBA::Object_var replica = orb->string_to_object(replicaUrl(entries, i).c_str());
        replicas.emplace_back(bounded<CORBA::Object>(orb, replica.in(), attempts));
    }
    std::size_t inUse = 0;
    const CosNaming::NamingContext_var answered = withFailover(
        attempts,
        [&] { return CORBA::Object_var(CORBA::Object::_duplicate(replicas[inUse].in())); },
        [&](CORBA::Object_ptr /*failed*/) {
            inUse = (inUse + 1) % replicas.size();
            return true;
        },
        [](CORBA::Object_ptr replica) {
            return CosNaming::NamingContext_var(CosNaming::NamingContext::_narrow(replica));
        });
    if (CORBA::is_nil(answered.in())) {
        return CosNaming::NamingContext::_nil();
    }
    std::vector<CosNaming::NamingContext_var> contexts;
    for (std::size_t i = 0; i < replicas.size(); ++i) {
        const CosNaming::NamingContext_var replica = CosNaming::NamingContext::_unchecked_narrow(
            replicas[(inUse + i) % replicas.size()].in());
        contexts.emplace_back(bounded<CosNaming::NamingContext>(orb, replica.in(), attempts));
    }
    const CosNaming::NamingContext_var context = CosNaming::NamingContext::_unchecked_narrow(whole);
    CosNaming::NamingContext_var held = bounded<CosNaming::NamingContext>(orb, context.in(), 1);
    keepReplicas(held.in(), std::move(contexts));
    return held._retn();
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
    if (hasEntryNamingNoAddress(hostEntries(host))) {
        traceConnecting(host, "an entry of the host text names no address");
        return CosNaming::NamingContext::_nil();
    }
    try {
        const std::string replicas = replicaText(host);
        const std::vector<std::string> entries = hostEntries(replicas);
        const CORBA::Object_var object = orb->string_to_object(namingServiceUrl(replicas).c_str());
        if (CORBA::is_nil(object.in())) {
            traceConnecting(host, "the URL gave a nil reference");
            return CosNaming::NamingContext::_nil();
        }
        CosNaming::NamingContext_var ctx;
        if (entries.empty()) {
            // Bounded before the narrow, the first remote call, and after it,
            // as the narrowed reference may be a new one.
            const CORBA::Object_var reachable = bounded<CORBA::Object>(orb, object.in(), 1);
            ctx = OrbPlatform::cancellationSafe([&reachable] {
                return CosNaming::NamingContext_var(
                    CosNaming::NamingContext::_narrow(reachable.in()));
            });
            if (!CORBA::is_nil(ctx.in())) {
                ctx = bounded<CosNaming::NamingContext>(orb, ctx.in(), 1);
            }
        } else {
            ctx = connectReplicas(orb, object.in(), entries);
        }
        if (CORBA::is_nil(ctx.in())) {
            traceConnecting(host, "the object there is not a naming context");
        }
        return ctx._retn();
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
        const auto resolve = [&](CosNaming::NamingContext_ptr replica) {
            return CORBA::Object_var(replica->resolve(makeName(first, second, third)));
        };
        const CORBA::ULong replicas = replicaCount(ctx);
        if (replicas == 0) {
            return OrbPlatform::cancellationSafe([&] { return resolve(ctx); })._retn();
        }
        return withFailover(
                   replicas + 1, [ctx] { return replicaInUse(ctx); },
                   [ctx](CosNaming::NamingContext_ptr failed) { return moveOnFrom(ctx, failed); },
                   resolve)
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

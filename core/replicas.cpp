// SPDX-License-Identifier: MIT
// Replicas of the naming service: which a host text names, one reference
// per replica beside the held context, and the calls that move on from a
// replica whose connection fails.
#include "orb_runtime.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace OrbRuntime {
namespace {

using Replica = std::pair<std::string, CosNaming::NamingContext_var>;  // address, context

// Each attempt of a call with n replicas gets bound / (n + 1): a replica
// that does not answer costs one share, and n + 1 of them fill the bound.
CORBA::ULong shareOfBound(std::size_t replicas) {
    const CORBA::ULong bound = callTimeoutMs();
    return bound == 0 ? 0
                      : std::max<CORBA::ULong>(1, bound / static_cast<CORBA::ULong>(replicas + 1));
}

void noteAttempt(std::string& attempts, const std::string& address, const std::string& outcome) {
    attempts += (attempts.empty() ? "" : "; ") + address + ": " + outcome;
}

// Runs `call` on `replicas[first]` and, after a failure of its connection,
// on the next ones in turn, until one answers. A replica whose connection is
// refused is not tried again in this call; one that timed out, or whose
// connection broke, is tried again while time is left, after the others.
// Each attempt has its share of the bound, so n + 1 of them time out at
// most, and the call ends within the bound plus the time its refusals took.
// A TRANSIENT that the naming server itself raises (it could not reach
// another server) is the answer, not the replica's failure: the replica is
// asked whether it answers, and the call ends there if it does. `leave`
// hears of each replica left; `i` is the replica tried first, and then the
// one that answered. Only calls that may be repeated come here: a narrow, a
// resolve. What the last attempt threw is thrown.
template <typename Ref, typename Leave, typename Call>
auto inTurn(const std::vector<std::pair<std::string, Ref>>& replicas, std::size_t& i,
            Deadline deadline, std::string& attempts, Leave leave, Call call)
    -> decltype(call(replicas[i].second.in())) {
    const std::size_t count = replicas.size();
    std::vector<bool> refused(count, false);
    std::size_t timeouts = 0;
    for (std::size_t attempt = 1;; ++attempt) {
        const auto replica = replicas[i].second.in();
        try {
            return OrbPlatform::cancellationSafe([&] { return call(replica); });
        } catch (const CORBA::SystemException& ex) {
            noteAttempt(attempts, replicas[i].first, OrbPlatform::shortSystemExceptionText(ex));
            const bool timedOut = CORBA::TIMEOUT::_downcast(&ex) != nullptr;
            const bool transient = CORBA::TRANSIENT::_downcast(&ex) != nullptr;
            if (!timedOut && !transient && CORBA::COMM_FAILURE::_downcast(&ex) == nullptr) {
                throw;
            }
            if (transient && OrbPlatform::cancellationSafe([replica] {
                    try {
                        replica->_non_existent();
                        return true;
                    } catch (const CORBA::SystemException&) {
                        return false;
                    }
                })) {
                throw;
            }
            refused[i] = refused[i] || transient;
            timeouts += timedOut ? 1 : 0;
            leave(replica);
            std::size_t next = (i + 1) % count;
            while (refused[next] && next != i) {
                next = (next + 1) % count;
            }
            if (refused[next] || timeouts > count || attempt >= 3 * (count + 1) ||
                Deadline::clock::now() >= deadline) {
                throw;
            }
            i = next;
        } catch (...) {
            noteAttempt(attempts, replicas[i].first, currentExceptionText());
            throw;
        }
    }
}

// Held contexts whose host text named several replicas, each with one
// context per replica, the one in use first. The newest few are kept: a
// context that has fallen out (after several more connections) is looked
// up on directly. `g_keptContexts` names them for a look without the lock,
// so lookups on a context of one server never take it.
using ReplicaSet = std::pair<CosNaming::NamingContext_var, std::vector<Replica>>;
constexpr std::size_t kReplicaSetsKept = 4;
ACE_Thread_Mutex g_replicaLock;
std::vector<ReplicaSet> g_replicaSets;  // newest last
std::array<std::atomic<const void*>, kReplicaSetsKept> g_keptContexts{};

void keepReplicas(CosNaming::NamingContext_ptr held, std::vector<Replica> replicas) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    if (g_replicaSets.size() == kReplicaSetsKept) {
        g_replicaSets.erase(g_replicaSets.begin());
    }
    g_replicaSets.emplace_back(CosNaming::NamingContext::_duplicate(held), std::move(replicas));
    for (std::size_t i = 0; i < kReplicaSetsKept; ++i) {
        g_keptContexts[i].store(i < g_replicaSets.size() ? g_replicaSets[i].first.in() : nullptr);
    }
}

// Under g_replicaLock: the replicas of `held`, or null.
std::vector<Replica>* replicasOf(CosNaming::NamingContext_ptr held) {
    for (ReplicaSet& set : g_replicaSets) {
        if (set.first.in() == held) {
            return &set.second;
        }
    }
    return nullptr;
}

// Checking and moving are one step: calls that fail on one replica together
// move its context on once.
void moveOnFrom(CosNaming::NamingContext_ptr held, CosNaming::NamingContext_ptr failed) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    std::vector<Replica>* replicas = replicasOf(held);
    if (replicas != nullptr && replicas->front().second.in() == failed) {
        std::rotate(replicas->begin(), replicas->begin() + 1, replicas->end());
    }
}

// (protocol, address) for each of `addresses`.
std::vector<std::pair<std::string, std::string>> withProtocol(
    const std::string& protocol, const std::vector<std::string>& addresses) {
    std::vector<std::pair<std::string, std::string>> entries;
    std::transform(
        addresses.begin(), addresses.end(), std::back_inserter(entries),
        [&protocol](const std::string& address) { return std::make_pair(protocol, address); });
    return entries;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> connectionUrls(const std::string& host,
                                                                Deadline deadline,
                                                                std::string& why) {
    std::vector<std::pair<std::string, std::string>> entries;
    if (!readHostText(host, entries).empty()) {
        return {};
    }
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        if (isHostName(entry.second)) {
            names.push_back(entry.second);
        }
    }
    const bool addressesWritten = names.size() < entries.size();
    const std::vector<std::vector<std::string>> resolved =
        addressesOf(names, addressesWritten, deadline, why);
    // Each entry's addresses: one server where it has one of each family at
    // most, reached as the ORB reaches a server with several addresses; more
    // are replicas, one each.
    std::vector<std::pair<std::string, std::string>> whole;
    std::vector<std::pair<std::string, std::string>> replicas;
    auto name = resolved.begin();
    for (const auto& [protocol, written] : entries) {
        const std::vector<std::string> addresses =
            isHostName(written) ? *name++ : std::vector<std::string>{written};
        const auto reached = withProtocol(protocol, addresses);
        whole.insert(whole.end(), reached.begin(), reached.end());
        const auto v6 = std::count_if(addresses.begin(), addresses.end(),
                                      [](const std::string& address) { return address[0] == '['; });
        if (addresses.empty()) {
            continue;
        }
        if (v6 <= 1 && addresses.size() - static_cast<std::size_t>(v6) <= 1) {
            replicas.emplace_back(written, entriesUrl(reached));
            continue;
        }
        std::transform(addresses.begin(), addresses.end(), std::back_inserter(replicas),
                       [&protocol](const std::string& address) {
                           return std::make_pair(address,
                                                 entriesUrl(withProtocol(protocol, {address})));
                       });
    }
    if (whole.empty()) {
        return {};
    }
    std::vector<std::pair<std::string, std::string>> urls{{host, entriesUrl(whole)}};
    if (replicas.size() > 1) {
        urls.insert(urls.end(), replicas.begin(), replicas.end());
    }
    return urls;
}

CosNaming::NamingContext_ptr connectReplicas(
    CORBA::ORB_ptr orb, CORBA::Object_ptr whole,
    const std::vector<std::pair<std::string, std::string>>& urls, Deadline deadline,
    std::string& attempts) {
    const CORBA::ULong share = shareOfBound(urls.size());
    std::vector<std::pair<std::string, CORBA::Object_var>> replicas;
    for (const auto& [address, url] : urls) {
        const CORBA::Object_var replica = orb->string_to_object(url.c_str());
        replicas.emplace_back(address, boundedObject(orb, replica.in(), share));
    }
    std::size_t answered = 0;
    const CosNaming::NamingContext_var narrowed = inTurn(
        replicas, answered, deadline, attempts, [](CORBA::Object_ptr /*failed*/) {},
        [](CORBA::Object_ptr replica) {
            return CosNaming::NamingContext_var(CosNaming::NamingContext::_narrow(replica));
        });
    if (CORBA::is_nil(narrowed.in())) {
        return CosNaming::NamingContext::_nil();
    }
    std::vector<Replica> contexts;
    for (std::size_t i = 0; i < replicas.size(); ++i) {
        const auto& [address, replica] = replicas[(answered + i) % replicas.size()];
        const CosNaming::NamingContext_var context =
            CosNaming::NamingContext::_unchecked_narrow(replica.in());
        contexts.emplace_back(address, boundedContext(orb, context.in(), share));
    }
    // The host's own calls on the held context may reach any address the ORB
    // can, with the whole bound.
    const CosNaming::NamingContext_var context = CosNaming::NamingContext::_unchecked_narrow(whole);
    CosNaming::NamingContext_var held = boundedContext(orb, context.in(), callTimeoutMs());
    keepReplicas(held.in(), std::move(contexts));
    return held._retn();
}

bool hasReplicas(CosNaming::NamingContext_ptr held) {
    return std::any_of(
        g_keptContexts.begin(), g_keptContexts.end(),
        [held](const std::atomic<const void*>& kept) { return kept.load() == held; });
}

CORBA::Object_ptr resolveOnReplicas(CosNaming::NamingContext_ptr held, const CosNaming::Name& name,
                                    Deadline deadline, std::string& attempts) {
    std::vector<Replica> replicas;
    {
        const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
        if (const std::vector<Replica>* kept = replicasOf(held); kept != nullptr) {
            for (const auto& [address, context] : *kept) {
                replicas.emplace_back(address, CosNaming::NamingContext::_duplicate(context.in()));
            }
        }
    }
    if (replicas.empty()) {  // fell out of the table since: one attempt, within the bound
        return OrbPlatform::cancellationSafe([&] { return CORBA::Object_var(held->resolve(name)); })
            ._retn();
    }
    std::size_t first = 0;
    return inTurn(
               replicas, first, deadline, attempts,
               [held](CosNaming::NamingContext_ptr failed) { moveOnFrom(held, failed); },
               [&name](CosNaming::NamingContext_ptr replica) {
                   return CORBA::Object_var(replica->resolve(name));
               })
        ._retn();
}

}  // namespace OrbRuntime

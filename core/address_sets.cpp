// SPDX-License-Identifier: MIT
// Address sets: what the calls on a held context with replicas learn of its
// addresses, and the process-wide tables of kept sets and of the address
// each server of several answered on last.
#include "orb_runtime.h"

#include <ace/Guard_T.h>

#include <algorithm>

namespace OrbRuntime {
namespace {

using KeptSet = std::pair<CosNaming::NamingContext_var, std::shared_ptr<AddressSet>>;
constexpr std::size_t kSetsKept = 4;
constexpr std::size_t kConnectionsRemembered = 64;

struct ReplicaTables {
    // Guards each set's order and contexts, and the tables below. No ORB
    // call is made under it.
    ACE_Thread_Mutex lock;
    std::vector<KeptSet> kept;  // newest last
    // The kept contexts, for a look without the lock, so that lookups on a
    // context of one address never take it.
    std::array<std::atomic<const void*>, kSetsKept> keptContexts{};
    std::map<std::string, LastAnswer> answeredAddress;  // by server or replicas' URL
};

void releaseReferences(ReplicaTables& tables) {
    std::vector<KeptSet> kept;
    std::map<std::string, LastAnswer> answered;
    const ACE_Guard<ACE_Thread_Mutex> guard(tables.lock);
    for (std::atomic<const void*>& context : tables.keptContexts) {
        context.store(nullptr);
    }
    kept.swap(tables.kept);
    answered.swap(tables.answeredAddress);
}

Lasting<ReplicaTables> g_lastingTables;
ReplicaTables& g_tables = g_lastingTables.state;

std::uint64_t microsOf(Clock::time_point at) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
}

}  // namespace

std::shared_ptr<AddressSet> makeAddressSet(CORBA::ORB_ptr orb,
                                           std::vector<PlannedAddress> addresses) {
    auto set = std::make_shared<AddressSet>();
    set->orb = CORBA::ORB::_duplicate(orb);
    set->order.resize(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        set->order[i] = i;
    }
    set->contexts.resize(addresses.size());
    set->answeredAt = std::make_unique<std::atomic<std::uint64_t>[]>(addresses.size());
    set->addresses = std::move(addresses);
    return set;
}

CORBA::ULong learnedFirstWaitMs(const AddressSet& set, std::uint32_t alongside) {
    const std::size_t answers = set.answers.load(std::memory_order_relaxed);
    if (answers == 0) {
        return firstWaitMs(std::nullopt, alongside);
    }
    std::uint32_t slowest = 0;
    for (std::size_t i = 0; i < std::min(answers, kAnswersKept); ++i) {
        slowest = std::max(slowest, set.answerMicros[i].load(std::memory_order_relaxed));
    }
    return firstWaitMs(slowest, alongside);
}

void noteAnswer(AddressSet& set, std::size_t by, Clock::time_point started, Clock::time_point now,
                std::uint32_t alongside) {
    // Over the calls in flight as it started: a server answers the calls
    // ahead of it first.
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now - started).count() / alongside;
    set.answerMicros[set.answers.fetch_add(1, std::memory_order_relaxed) % kAnswersKept].store(
        static_cast<std::uint32_t>(std::min<long long>(micros, UINT32_MAX)),
        std::memory_order_relaxed);
    set.answeredAt[by].store(microsOf(now), std::memory_order_relaxed);
}

bool answeringSince(AddressSet& set, std::size_t i, Clock::time_point since) {
    if (set.answeredAt[i].load(std::memory_order_relaxed) <= microsOf(since)) {
        return false;
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    return set.order.front() == i;
}

void moveOnFrom(AddressSet& set, std::size_t failed) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    if (set.order.front() == failed) {
        std::rotate(set.order.begin(), set.order.begin() + 1, set.order.end());
    }
}

namespace {

std::optional<CORBA::ULong> keyOf(AttemptTime time) {
    std::optional<CORBA::ULong> key;
    if (const auto* timeOut = std::get_if<TimeOut>(&time)) {
        key = timeOut->ms;
    }
    return key;
}

}  // namespace

CosNaming::NamingContext_ptr lookupAttempt(AddressSet& set, std::size_t i, AttemptTime time) {
    const std::optional<CORBA::ULong> key = keyOf(time);
    {
        const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
        const auto kept = set.contexts[i].find(key);
        if (kept != set.contexts[i].end()) {
            return CosNaming::NamingContext::_duplicate(kept->second.in());
        }
    }
    const CORBA::Object_var fresh = set.orb->string_to_object(set.addresses[i].url.c_str());
    const CosNaming::NamingContext_var context =
        CosNaming::NamingContext::_unchecked_narrow(fresh.in());
    CosNaming::NamingContext_var made = boundedContext(set.orb.in(), context.in(), time);
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    // A call that made one meanwhile wins: every call then shares one.
    const auto kept = set.contexts[i].emplace(key, made);
    return CosNaming::NamingContext::_duplicate(kept.first->second.in());
}

void keepSet(CosNaming::NamingContext_ptr held, std::shared_ptr<AddressSet> set) {
    KeptSet fallenOut;  // released after the lock
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    if (g_tables.kept.size() == kSetsKept) {
        fallenOut = std::move(g_tables.kept.front());
        g_tables.kept.erase(g_tables.kept.begin());
    }
    g_tables.kept.emplace_back(CosNaming::NamingContext::_duplicate(held), std::move(set));
    for (std::size_t i = 0; i < kSetsKept; ++i) {
        g_tables.keptContexts[i].store(i < g_tables.kept.size() ? g_tables.kept[i].first.in()
                                                                : nullptr);
    }
}

bool hasReplicas(CosNaming::NamingContext_ptr held) {
    return std::any_of(
        g_tables.keptContexts.begin(), g_tables.keptContexts.end(),
        [held](const std::atomic<const void*>& kept) { return kept.load() == held; });
}

std::shared_ptr<AddressSet> keptSet(CosNaming::NamingContext_ptr held,
                                    std::vector<std::size_t>& order) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    const auto kept =
        std::find_if(g_tables.kept.begin(), g_tables.kept.end(),
                     [held](const KeptSet& candidate) { return candidate.first.in() == held; });
    if (kept == g_tables.kept.end()) {
        return nullptr;
    }
    order = kept->second->order;
    return kept->second;
}

void rememberAnswered(const std::string& connection, LastAnswer answer) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    if (g_tables.answeredAddress.size() >= kConnectionsRemembered) {
        g_tables.answeredAddress.clear();
    }
    g_tables.answeredAddress[connection] = std::move(answer);
}

std::optional<LastAnswer> lastAnswer(const std::string& connection) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    const auto found = g_tables.answeredAddress.find(connection);
    if (found == g_tables.answeredAddress.end()) {
        return std::nullopt;
    }
    return found->second;
}

void preferAddress(AddressSet& set, std::size_t i) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_tables.lock);
    const auto at = std::find(set.order.begin(), set.order.end(), i);
    if (at != set.order.end()) {
        std::rotate(set.order.begin(), at, set.order.end());
    }
}

}  // namespace OrbRuntime

// SPDX-License-Identifier: MIT
// Replicas of the naming service, and the addresses of one server: which a
// host text names, one reference per address beside the held context, and
// the schedule of attempts that passes over an address that does not answer
// in the time its recent answers took.
#include "orb_runtime.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace OrbRuntime {
namespace {

using Clock = Deadline::clock;

// Attempt times are powers of two in milliseconds, the bound itself, or the
// bound less a power of two: on TAO each value is a policy, made once per ORB
// (through a short-lived ORB of its own on an ORB made before the library was
// loaded), so their number stays small: 49 at most.
constexpr CORBA::ULong kLongestAttemptMs = 1U << 22;  // 70 minutes
// An address that nothing has answered on yet is given this long before the
// next one is tried: a LAN answers well within it (RFC 8305 waits 250 ms).
constexpr CORBA::ULong kFirstAttemptMs = 128;
// Once answers have come, an address is given kSafetyFactor times the
// slowest of the last kAnswersKept, each over the calls then in flight, times
// the calls in flight now; never less than kShortestAttemptMs: on two busy
// cores a thread may wait that long for one, and a lookup that timed out for
// that reason would move the lookups to another replica.
constexpr std::size_t kAnswersKept = 32;
constexpr std::uint32_t kSafetyFactor = 4;
constexpr CORBA::ULong kShortestAttemptMs = 32;
// Without a bound, an address that timed out this often in one call is
// waited for as long as the ORB waits.
constexpr int kTimeoutsBeforeWaiting = 3;
// However short the attempts, a call makes no more of them than this.
constexpr int kMostAttempts = 64;

CORBA::ULong powerOfTwoAtLeast(CORBA::ULong ms) {
    CORBA::ULong power = 1;
    while (power < ms && power < kLongestAttemptMs) {
        power <<= 1;
    }
    return power;
}

// The longest attempt time that ends by the deadline, to the millisecond:
// the bound itself, a power of two, or the bound less the smallest power of
// two not under the time spent, so that an attempt made after a short name
// lookup still has nearly all the bound; 0 when less than a millisecond is
// left.
CORBA::ULong fitting(Clock::duration left) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        left + std::chrono::milliseconds(1) - std::chrono::nanoseconds(1))
                        .count();
    const CORBA::ULong bound = callTimeoutMs();
    if (ms >= static_cast<long long>(bound)) {
        return bound;
    }
    CORBA::ULong power = ms > 0 ? 1 : 0;
    while (power > 0 && power < kLongestAttemptMs && static_cast<long long>(power) * 2 <= ms) {
        power *= 2;
    }
    const CORBA::ULong spentAtLeast = bound - static_cast<CORBA::ULong>(std::max<long long>(ms, 0));
    const CORBA::ULong spent = powerOfTwoAtLeast(spentAtLeast);
    return spent >= spentAtLeast && spent < bound ? std::max(power, bound - spent) : power;
}

// One address: its label in the trace, its URL, and the references to it
// made for each attempt time used so far (0: none).
struct Address {
    std::string label;
    std::string url;
    std::map<CORBA::ULong, CosNaming::NamingContext_var> contexts;
};

// The addresses of one held context, in the order to try them (the one in
// use first), and how long its recent answers took.
struct AddressSet {
    CORBA::ORB_var orb;
    std::vector<Address> addresses;  // as made; only `contexts` changes
    std::vector<std::size_t> order;
    // Each answer's time over the calls then in flight on the set: a server
    // answers calls that come together in turn.
    std::array<std::atomic<std::uint32_t>, kAnswersKept> answerMicros{};
    std::atomic<std::size_t> answers{0};
    std::atomic<std::uint32_t> callsInFlight{0};
    // When the last answer came, in microseconds of Clock, and from which
    // address: (micros << 8) | index.
    std::atomic<std::uint64_t> lastAnswer{0};
};

// Guards the contexts and the order of every AddressSet, and the tables
// below.
ACE_Thread_Mutex g_replicaLock;

void noteAttempt(std::string& attempts, const std::string& label, const std::string& outcome) {
    attempts += (attempts.empty() ? "" : "; ") + label + ": " + outcome;
}

// What the first attempt on an address waits, from the set's recent answers,
// with `alongside` calls in flight on it, this one included.
CORBA::ULong firstAttemptMs(const AddressSet* set, std::uint32_t alongside) {
    const std::size_t answers = set == nullptr ? 0 : set->answers.load(std::memory_order_relaxed);
    if (answers == 0) {
        return kFirstAttemptMs;
    }
    std::uint32_t slowest = 0;
    for (std::size_t i = 0; i < std::min(answers, kAnswersKept); ++i) {
        slowest = std::max(slowest, set->answerMicros[i].load(std::memory_order_relaxed));
    }
    const std::uint64_t ms =
        (static_cast<std::uint64_t>(slowest) * alongside * kSafetyFactor + 999) / 1000;
    return powerOfTwoAtLeast(std::max<CORBA::ULong>(
        kShortestAttemptMs,
        static_cast<CORBA::ULong>(std::min<std::uint64_t>(ms, kLongestAttemptMs))));
}

std::uint64_t microsOf(Clock::time_point at) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
}

void noteAnswer(AddressSet* set, std::size_t by, Clock::time_point started,
                std::uint32_t alongside) {
    if (set == nullptr) {
        return;
    }
    const Clock::time_point now = Clock::now();
    // Over the calls in flight as it started: a server answers the calls
    // ahead of it first.
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now - started).count() / alongside;
    set->answerMicros[set->answers.fetch_add(1, std::memory_order_relaxed) % kAnswersKept].store(
        static_cast<std::uint32_t>(std::min<long long>(micros, UINT32_MAX)),
        std::memory_order_relaxed);
    set->lastAnswer.store(microsOf(now) << 8 | std::min<std::size_t>(by, 0xff),
                          std::memory_order_relaxed);
}

// Whether address `i`, still the set's first, answered another call after
// `since`: it is busy, not gone, and a call that timed out on it is tried on
// it again rather than on a replica that may not yet know what it knows.
bool answeringSince(AddressSet* set, std::size_t i, Clock::time_point since) {
    if (set == nullptr) {
        return false;
    }
    const std::uint64_t last = set->lastAnswer.load(std::memory_order_relaxed);
    if ((last & 0xff) != std::min<std::size_t>(i, 0xff) || (last >> 8) <= microsOf(since)) {
        return false;
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    return set->order.front() == i;
}

// Checking and moving are one step: calls that fail on one address together
// move the set on once.
void moveOnFrom(AddressSet* set, std::size_t failed) {
    if (set == nullptr) {
        return;
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    if (set->order.front() == failed) {
        std::rotate(set->order.begin(), set->order.begin() + 1, set->order.end());
    }
}

// A reference of its own to `url`, untyped, so that a narrow asks the
// server, whose calls give up after `ms` (none for 0): omniORB keeps the
// time-out on the reference itself.
CORBA::Object_ptr freshObject(CORBA::ORB_ptr orb, const std::string& url, CORBA::ULong ms) {
    const CORBA::Object_var fresh = orb->string_to_object(url.c_str());
    return boundedObject(orb, fresh.in(), ms);
}

// For lookups: the context at address `i` whose calls give up after `ms`,
// made the first time that time is used.
CosNaming::NamingContext_ptr lookupAttempt(AddressSet& set, std::size_t i, CORBA::ULong ms) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    CosNaming::NamingContext_var& kept = set.addresses[i].contexts[ms];
    if (CORBA::is_nil(kept.in())) {
        const CORBA::Object_var fresh = freshObject(set.orb.in(), set.addresses[i].url, 0);
        const CosNaming::NamingContext_var context =
            CosNaming::NamingContext::_unchecked_narrow(fresh.in());
        kept = boundedContext(set.orb.in(), context.in(), ms);
    }
    return CosNaming::NamingContext::_duplicate(kept.in());
}

// Runs `call` on `addresses` in `order` until one answers; `answered` is
// then its index. Each attempt waits a short time learned from the recent
// answers of `learning` (kFirstAttemptMs without it, or before any); an
// address that does not answer in that time is passed over for the next,
// and tried again after the others with twice the time, while time is left;
// once in a call, an address that answered another call meanwhile is tried
// again at once instead. The last address not refused has all the time that
// is left, and the call ends if it does not answer in it; without a bound,
// an address that timed out kTimeoutsBeforeWaiting times is waited for as
// long as the ORB waits. An address whose connection is refused is not tried again in this call. A
// TRANSIENT that the naming server itself raises (it could not reach another server) is the answer,
// not the address's failure: the address is asked whether it answers, and the call ends there if it
// does. Only calls that may be repeated come here: a narrow, a resolve; an attempt that timed out
// is abandoned. `reference(i, ms)` gives the reference for an attempt. What the last attempt threw
// is thrown; `attempts` names each.
template <typename Reference, typename Call>
ZORCLIENT_LETS_CANCELLATION_THROUGH auto inTurn(AddressSet* learning,
                                                const std::vector<Address>& addresses,
                                                std::vector<std::size_t> order, Deadline deadline,
                                                std::string& attempts, std::size_t& answered,
                                                Reference reference, Call call)
    -> decltype(call(reference(0, 0).in())) {
    const std::size_t count = order.size();
    const bool bounded = deadline != Deadline::max();
    // How each address in `order` has fared in this call.
    struct Turn {
        CORBA::ULong wait;
        int timeouts;
        bool refused;
    };
    const std::uint32_t alongside =
        learning == nullptr ? 1 : learning->callsInFlight.fetch_add(1) + 1;
    const std::unique_ptr<AddressSet, void (*)(AddressSet*)> inFlight(
        learning, [](AddressSet* set) { set->callsInFlight.fetch_sub(1); });
    std::vector<Turn> turns(count, Turn{firstAttemptMs(learning, alongside), 0, false});
    bool stayed = false;  // once per call at most: see answeringSince
    const auto notRefused = [&turns] {
        return std::count_if(turns.begin(), turns.end(), [](const Turn& t) { return !t.refused; });
    };
    std::size_t turn = 0;
    for (int attempt = 1;; ++attempt) {
        const std::size_t i = order[turn];
        Turn& now = turns[turn];
        const bool last = notRefused() == 1;
        CORBA::ULong ms = 0;
        if (bounded) {
            const CORBA::ULong left = fitting(deadline - Clock::now());
            // To the ORB an attempt time of 0 is no time-out at all.
            if (left == 0) {
                noteAttempt(attempts, addresses[i].label, "not tried: the bound was spent");
                throw CORBA::TIMEOUT(0, CORBA::COMPLETED_NO);
            }
            ms = last ? left : std::min(now.wait, left);
        } else if (!last && now.timeouts < kTimeoutsBeforeWaiting) {
            ms = now.wait;
        }
        const auto address = reference(i, ms);
        const auto started = Clock::now();
        try {
            auto answer = OrbPlatform::cancellationSafe([&] { return call(address.in()); });
            noteAnswer(learning, i, started, alongside);
            answered = i;
            return answer;
        } catch (const CORBA::SystemException& ex) {
            const bool timedOut = CORBA::TIMEOUT::_downcast(&ex) != nullptr;
            const bool transient = CORBA::TRANSIENT::_downcast(&ex) != nullptr;
            noteAttempt(attempts, addresses[i].label,
                        timedOut ? "TIMEOUT after " + std::to_string(ms) + " ms"
                                 : OrbPlatform::shortSystemExceptionText(ex));
            if (!timedOut && !transient && CORBA::COMM_FAILURE::_downcast(&ex) == nullptr) {
                throw;
            }
            if (transient && OrbPlatform::cancellationSafe([&address] {
                    try {
                        address->_non_existent();
                        return true;
                    } catch (const CORBA::SystemException&) {
                        return false;
                    }
                })) {
                throw;
            }
            now.refused = now.refused || transient;
            if (timedOut) {
                ++now.timeouts;
                now.wait = std::min(now.wait * 2, kLongestAttemptMs);
            }
            // An answer in the attempt's second half: one that came before an
            // address was cut off mostly falls in the first.
            const bool stay =
                timedOut && !stayed &&
                answeringSince(learning, i, started + std::chrono::milliseconds(ms / 2));
            stayed = stayed || stay;
            if (!stay) {
                moveOnFrom(learning, i);
            }
            std::size_t next = stay ? turn : (turn + 1) % count;
            while (turns[next].refused && next != turn) {
                next = (next + 1) % count;
            }
            // A last attempt had all the time that fitted: asking again
            // with what is left would give the address less, not more.
            if (turns[next].refused || attempt >= kMostAttempts || (timedOut && last) ||
                (bounded && fitting(deadline - Clock::now()) < kShortestAttemptMs)) {
                throw;
            }
            turn = next;
        } catch (const abi::__forced_unwind&) {
            throw;  // thread cancellation must unwind on through the caller
        } catch (...) {
            noteAttempt(attempts, addresses[i].label, currentExceptionText());
            throw;
        }
    }
}

// Held contexts whose host text named several addresses, each with its
// address set. The newest few are kept: a context that has fallen out
// (after several more connections) is looked up on directly.
// `g_keptContexts` names them for a look without the lock, so lookups on a
// context of one address never take it.
using KeptSet = std::pair<CosNaming::NamingContext_var, std::shared_ptr<AddressSet>>;
constexpr std::size_t kSetsKept = 4;
const HeldForTheProcess<std::vector<KeptSet>> g_keptSets{
    new std::vector<KeptSet>()};  // newest last
std::array<std::atomic<const void*>, kSetsKept> g_keptContexts{};

void keepSet(CosNaming::NamingContext_ptr held, std::shared_ptr<AddressSet> set) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    if (g_keptSets->size() == kSetsKept) {
        g_keptSets->erase(g_keptSets->begin());
    }
    g_keptSets->emplace_back(CosNaming::NamingContext::_duplicate(held), std::move(set));
    for (std::size_t i = 0; i < kSetsKept; ++i) {
        g_keptContexts[i].store(i < g_keptSets->size() ? (*g_keptSets)[i].first.in() : nullptr);
    }
}

// Which address of a server of several answered its last connection, by the
// server's name: the next connection tries it first, as RFC 8305 suggests.
constexpr std::size_t kServersRemembered = 64;
std::map<std::string, std::string> g_answeredAddress;

void rememberAnswered(const std::string& label) {
    const std::size_t space = label.find(' ');
    if (space == std::string::npos) {
        return;  // a replica, or a server of one address
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    if (g_answeredAddress.size() >= kServersRemembered) {
        g_answeredAddress.clear();
    }
    g_answeredAddress[label.substr(0, space)] = label.substr(space + 1);
}

// Whether the addresses are all one server's, labelled "server address".
bool ofOneServer(const std::vector<Address>& addresses) {
    const std::string& first = addresses.front().label;
    const std::size_t space = first.find(' ');
    return space != std::string::npos &&
           std::all_of(addresses.begin(), addresses.end(), [&](const Address& address) {
               return address.label.compare(0, space + 1, first, 0, space + 1) == 0;
           });
}

std::string answeredAddress(const std::string& server) {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
    const auto found = g_answeredAddress.find(server);
    return found == g_answeredAddress.end() ? std::string() : found->second;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> connectionUrls(const std::string& host,
                                                                Deadline deadline,
                                                                std::string& why) {
    std::vector<std::pair<std::string, std::string>> entries;
    if (std::string problem = readHostText(host, entries); !problem.empty()) {
        why = std::move(problem);
        return {};
    }
    std::vector<bool> named;
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        named.push_back(isHostName(entry.second));
        if (named.back()) {
            names.push_back(entry.second);
        }
    }
    if (names.empty() && entries.size() == 1) {
        return {{host, entriesUrl(entries)}};  // one address
    }
    const std::vector<std::vector<std::string>> resolved =
        addressesOf(names, names.size() < entries.size(), deadline, why);
    // Each entry's addresses: one server where it has one of each family at
    // most, more are replicas; either way one reference per address.
    std::vector<std::pair<std::string, std::string>> whole;
    std::vector<std::pair<std::string, std::string>> replicas;
    auto name = resolved.begin();
    for (std::size_t e = 0; e < entries.size(); ++e) {
        const std::string& protocol = entries[e].first;
        const std::string& written = entries[e].second;
        std::vector<std::string> addresses = named[e] ? *name++ : std::vector<std::string>{written};
        if (addresses.size() == 2 && addresses[1] == answeredAddress(written)) {
            std::swap(addresses[0], addresses[1]);
        }
        const auto v6 = std::count_if(addresses.begin(), addresses.end(),
                                      [](const std::string& address) { return address[0] == '['; });
        // One server: its addresses are raced, each labelled by the server;
        // replicas by the address alone.
        const bool oneServer = v6 <= 1 && addresses.size() - static_cast<std::size_t>(v6) <= 1;
        for (const std::string& address : addresses) {
            whole.emplace_back(protocol, address);
            replicas.emplace_back(!oneServer              ? address
                                  : addresses.size() == 1 ? written
                                                          : written + " " + address,
                                  entriesUrl({whole.back()}));
        }
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
    CORBA::ORB_ptr orb, const std::vector<std::pair<std::string, std::string>>& urls,
    Deadline deadline, std::string& attempts) {
    std::vector<Address> addresses;
    std::transform(urls.size() == 1 ? urls.begin() : urls.begin() + 1, urls.end(),
                   std::back_inserter(addresses), [](const auto& url) {
                       return Address{url.first, url.second, {}};
                   });
    std::vector<std::size_t> order(addresses.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    // The whole service's reference is made only where it is used: one
    // address is tried through it, and replicas hold it.
    const auto wholeService = [orb, &urls] {
        CORBA::Object_var whole = orb->string_to_object(urls.front().second.c_str());
        if (CORBA::is_nil(whole.in())) {
            throw CORBA::INV_OBJREF(0, CORBA::COMPLETED_NO);
        }
        return whole;
    };
    const CORBA::Object_var whole = addresses.size() == 1 ? wholeService() : CORBA::Object_var();
    const auto attemptOn = [&](std::size_t i, CORBA::ULong ms) {
        return CORBA::Object_var(addresses.size() == 1 ? boundedObject(orb, whole.in(), ms)
                                                       : freshObject(orb, addresses[i].url, ms));
    };
    // A server's own addresses are raced by the connection alone: the one
    // that answered is then held as a server of one address is.
    const bool replicas = addresses.size() > 1 && !ofOneServer(addresses);
    std::shared_ptr<AddressSet> set;
    if (replicas) {
        set = std::make_shared<AddressSet>();
        set->orb = CORBA::ORB::_duplicate(orb);
        set->order = order;
    }
    std::size_t answered = 0;
    const CosNaming::NamingContext_var narrowed =
        inTurn(set.get(), addresses, order, deadline, attempts, answered, attemptOn,
               [](CORBA::Object_ptr address) {
                   return CosNaming::NamingContext_var(CosNaming::NamingContext::_narrow(address));
               });
    if (CORBA::is_nil(narrowed.in())) {
        return CosNaming::NamingContext::_nil();
    }
    if (answered != 0) {  // the first was tried first for a reason, which stands
        rememberAnswered(addresses[answered].label);
    }
    // The host's own calls on the held context have the whole bound: with one
    // server the context that answered, as the ORB gave it (a naming server
    // may have forwarded it); with replicas, the one that may reach any of them.
    if (!replicas) {
        return boundedContext(orb, narrowed.in(), callTimeoutMs());
    }
    set->addresses = std::move(addresses);
    const CORBA::Object_var service = wholeService();
    const CosNaming::NamingContext_var context =
        CosNaming::NamingContext::_unchecked_narrow(service.in());
    CosNaming::NamingContext_var held = boundedContext(orb, context.in(), callTimeoutMs());
    keepSet(held.in(), std::move(set));
    return held._retn();
}

bool hasReplicas(CosNaming::NamingContext_ptr held) {
    return std::any_of(
        g_keptContexts.begin(), g_keptContexts.end(),
        [held](const std::atomic<const void*>& kept) { return kept.load() == held; });
}

CORBA::Object_ptr resolveOnReplicas(CosNaming::NamingContext_ptr held, const CosNaming::Name& name,
                                    Deadline deadline, std::string& attempts) {
    std::shared_ptr<AddressSet> set;
    std::vector<std::size_t> order;
    {
        const ACE_Guard<ACE_Thread_Mutex> guard(g_replicaLock);
        const auto kept =
            std::find_if(g_keptSets->begin(), g_keptSets->end(),
                         [held](const KeptSet& candidate) { return candidate.first.in() == held; });
        if (kept != g_keptSets->end()) {
            set = kept->second;
            order = set->order;
        }
    }
    if (set == nullptr) {  // fell out of the table since: one attempt, within the bound
        return OrbPlatform::cancellationSafe([&] { return CORBA::Object_var(held->resolve(name)); })
            ._retn();
    }
    std::size_t answered = 0;
    return inTurn(
               set.get(), set->addresses, std::move(order), deadline, attempts, answered,
               [&set](std::size_t i, CORBA::ULong ms) {
                   return CosNaming::NamingContext_var(lookupAttempt(*set, i, ms));
               },
               [&name](CosNaming::NamingContext_ptr address) {
                   return CORBA::Object_var(address->resolve(name));
               })
        ._retn();
}

}  // namespace OrbRuntime

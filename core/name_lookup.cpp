// SPDX-License-Identifier: MIT
// Host names resolved by the library itself, within the caller's deadline.
// Each name in flight has one thread of its own on getaddrinfo, so the
// hosts file, nsswitch and resolv.conf count as they do everywhere else.
// Callers wait for it on a condition, not inside the C library: a deadline
// or a cancellation ends the wait at once, and the thread frees what nobody
// waits for any more when it ends. Calls for a name already in flight join
// it, so a resolver that never answers ties up one thread per name.
#include "orb_runtime.h"

#include <ace/Condition_Thread_Mutex.h>
#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace OrbRuntime {
namespace {

// A name's addresses are reused for a second: calls that connect again and
// again pay the resolver once, and a change is seen a second later.
constexpr auto kAnswerKept = std::chrono::seconds(1);
// With some addresses known, the names still in flight are waited for this
// long at most: a silent resolver then costs that, not the bound.
constexpr auto kLateNameWait = std::chrono::milliseconds(250);

const addrinfo kStreamHints = {0, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};

// One lookup of one name. Freed by whoever lets go of it last: the table,
// its thread, or a caller waiting for it.
struct NameLookup {
    explicit NameLookup(const std::string& looked) : name(looked) {}
    std::string name;
    bool done = false;
    int status = EAI_INPROGRESS;
    std::vector<std::string> addresses;
    Clock::time_point doneAt;
    int holders = 0;
};

// Made once and never destroyed: a lookup thread may outlive every caller,
// the exit of the process included.
struct Lookups {
    ACE_Thread_Mutex lock;
    // Broadcast whenever a lookup is done: a caller waits for all its names
    // together. Made anew in the child of a fork, where the parent's waiters
    // are gone.
    ACE_Condition_Thread_Mutex* answered = new ACE_Condition_Thread_Mutex(lock);
    std::vector<NameLookup*> table;  // in flight, or answered within kAnswerKept
    std::vector<NameLookup*> leftAtFork;
    std::vector<ACE_Condition_Thread_Mutex*> answeredLeftAtFork;
};

void forgetAtFork();

Lookups& lookups() {
    static Lookups* const state = [] {
        auto* made = new Lookups;
        pthread_atfork([] { lookups().lock.acquire(); }, [] { lookups().lock.release(); },
                       forgetAtFork);
        return made;
    }();
    return *state;
}

// In the child of a fork only the forking thread runs: no lookup thread
// will answer there, and none of the waiters will return. What they share
// is kept as it is, out of the way, and the child looks names up afresh.
void forgetAtFork() {
    Lookups& state = lookups();
    state.leftAtFork.insert(state.leftAtFork.end(), state.table.begin(), state.table.end());
    state.table.clear();
    state.answeredLeftAtFork.push_back(state.answered);
    state.answered = new ACE_Condition_Thread_Mutex(state.lock);
    state.lock.release();
}

// Under the lock.
void letGoLocked(NameLookup* lookup) {
    if (--lookup->holders == 0) {
        delete lookup;
    }
}

void letGo(NameLookup* lookup) {
    const ACE_Guard<ACE_Thread_Mutex> guard(lookups().lock);
    letGoLocked(lookup);
}

using Held = std::unique_ptr<NameLookup, void (*)(NameLookup*)>;

// Under the lock: the table lets go of answers past their time and of
// failures, so the next call asks again.
void dropStale(Lookups& state) {
    const auto now = Clock::now();
    const auto stale = std::stable_partition(
        state.table.begin(), state.table.end(), [now](const NameLookup* lookup) {
            return !lookup->done || (lookup->status == 0 && now - lookup->doneAt < kAnswerKept);
        });
    std::for_each(stale, state.table.end(), letGoLocked);
    state.table.erase(stale, state.table.end());
}

ACE_THR_FUNC_RETURN runLookup(void* arg) {
    auto* const lookup = static_cast<NameLookup*>(arg);
    addrinfo* found = nullptr;
    const int status = getaddrinfo(lookup->name.c_str(), nullptr, &kStreamHints, &found);
    std::vector<std::string> addresses =
        status == 0 ? addressTexts(found) : std::vector<std::string>{};
    if (found != nullptr) {
        freeaddrinfo(found);
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(lookups().lock);
    lookup->status = status;
    lookup->addresses = std::move(addresses);
    lookup->doneAt = Clock::now();
    lookup->done = true;
    lookups().answered->broadcast();
    letGoLocked(lookup);
    return 0;
}

// Under the lock: the lookup of `name` in flight or answered lately, or a
// new one with a thread of its own; held for the caller.
NameLookup* join(Lookups& state, const std::string& name) {
    dropStale(state);
    const auto kept =
        std::find_if(state.table.begin(), state.table.end(),
                     [&name](const NameLookup* lookup) { return lookup->name == name; });
    if (kept != state.table.end()) {
        ++(*kept)->holders;
        return *kept;
    }
    auto* const lookup = new NameLookup(name);
    lookup->holders = 3;  // the table, the thread and the caller
    if (!spawnHelperThread(runLookup, lookup)) {
        lookup->holders = 1;
        lookup->status = EAI_SYSTEM;
        lookup->done = true;
        return lookup;
    }
    state.table.push_back(lookup);
    return lookup;
}

}  // namespace

std::vector<std::vector<std::string>> addressesOf(const std::vector<std::string>& names,
                                                  bool othersKnown, Deadline deadline,
                                                  std::string& why) {
    if (names.empty()) {
        return {};
    }
    Lookups& state = lookups();
    std::vector<Held> held;
    {
        const ACE_Guard<ACE_Thread_Mutex> guard(state.lock);
        std::transform(
            names.begin(), names.end(), std::back_inserter(held),
            [&state](const std::string& name) { return Held(join(state, name), letGo); });
    }
    std::vector<std::vector<std::string>> addresses(names.size());
    const ACE_Guard<ACE_Thread_Mutex> guard(state.lock);
    // The names are waited for together: once any address is known, those
    // still in flight get kLateNameWait more at most, whatever their place.
    const auto hasAddresses = [](const Held& lookup) {
        return lookup->done && lookup->status == 0 && !lookup->addresses.empty();
    };
    Deadline until = othersKnown ? std::min(deadline, Clock::now() + kLateNameWait) : deadline;
    while (
        !std::all_of(held.begin(), held.end(), [](const Held& lookup) { return lookup->done; })) {
        if (!othersKnown && std::any_of(held.begin(), held.end(), hasAddresses)) {
            othersKnown = true;
            until = std::min(until, Clock::now() + kLateNameWait);
        }
        if (Clock::now() >= until) {
            break;
        }
        waitASlice(*state.answered, until - Clock::now());
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const NameLookup* const lookup = held[i].get();
        if (!hasAddresses(held[i])) {
            const std::string said =
                lookup->done && lookup->status == 0
                    ? "the name " + names[i] + " has no address this ORB build can reach"
                    : lookupFailure(names[i], lookup->done ? lookup->status : EAI_INPROGRESS);
            why += (why.empty() ? "" : "; ") + said;
            continue;
        }
        addresses[i] = lookup->addresses;
    }
    return addresses;
}

}  // namespace OrbRuntime

// SPDX-License-Identifier: MIT
// A connection to several addresses: the first in the caller's own thread
// where the last connection showed its path fast, else (or should it fail)
// a race, each attempt on a thread of its own that keeps running while the
// next starts, the caller waiting on a condition for the first answer. An
// attempt that loses ends on its own, within its time.
#include "orb_runtime.h"

#include <ace/Guard_T.h>

#include <algorithm>
#include <deque>
#include <numeric>

namespace OrbRuntime {
namespace {

struct Attempt {
    std::size_t address = 0;
    Clock::time_point started;
    bool done = false;
    bool seen = false;  // by the caller
    Clock::time_point ended;
    CosNaming::NamingContext_var answer;
    std::exception_ptr thrown;       // none when it answered
    std::optional<Failure> failure;  // none when what it threw ends the call
    std::string outcome;
};

// Shared by the caller and the attempts' threads; freed by the last of them.
struct Race {
    CORBA::ORB_var orb;
    ACE_Thread_Mutex lock;
    ACE_Condition_Thread_Mutex ended{lock};
    std::deque<Attempt> attempts;  // its entries stay in place as it grows
};

struct AttemptThread {
    std::shared_ptr<Race> race;
    std::size_t index;
    std::string url;
    AttemptTime time;
};

ACE_THR_FUNC_RETURN runAttempt(void* arg) {
    const std::unique_ptr<AttemptThread> mine(static_cast<AttemptThread*>(arg));
    CosNaming::NamingContext_var answer;
    std::exception_ptr thrown;
    std::optional<Failure> failure;
    std::string outcome;
    try {
        const CORBA::Object_var fresh = mine->race->orb->string_to_object(mine->url.c_str());
        const CORBA::Object_var address =
            boundedObject(mine->race->orb.in(), fresh.in(), mine->time);
        try {
            answer = CosNaming::NamingContext::_narrow(address.in());
        } catch (const CORBA::SystemException& ex) {
            thrown = std::current_exception();
            failure = repeatableFailure(ex, address.in());
            outcome = attemptOutcome(ex, mine->time);
        }
    } catch (...) {
        thrown = std::current_exception();
        outcome = currentExceptionText();
    }
    Race& race = *mine->race;
    const ACE_Guard<ACE_Thread_Mutex> guard(race.lock);
    Attempt& attempt = race.attempts[mine->index];
    attempt.ended = Clock::now();
    attempt.answer = answer._retn();
    attempt.thrown = thrown;
    attempt.failure = failure;
    attempt.outcome = std::move(outcome);
    attempt.done = true;
    race.ended.broadcast();
    return 0;
}

// Under the race's lock.
void start(const std::shared_ptr<Race>& race, std::size_t address, const std::string& url,
           AttemptTime time) {
    race->attempts.emplace_back();
    race->attempts.back().address = address;
    race->attempts.back().started = Clock::now();
    auto mine =
        std::make_unique<AttemptThread>(AttemptThread{race, race->attempts.size() - 1, url, time});
    if (spawnHelperThread(runAttempt, mine.get())) {
        static_cast<void>(mine.release());  // the thread's now
        return;
    }
    Attempt& attempt = race->attempts.back();
    attempt.done = true;
    attempt.ended = attempt.started;
    attempt.thrown = std::make_exception_ptr(CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO));
    attempt.failure = Failure::Lost;
    attempt.outcome = "NO_RESOURCES";
}

// Under the race's lock: how each attempt went, in the order they started;
// those still running when the bound was spent at `spentAt` timed out then.
void noteOutcomes(const Race& race, const std::vector<PlannedAddress>& addresses,
                  std::string& attempts, std::optional<Clock::time_point> spentAt) {
    for (const Attempt& attempt : race.attempts) {
        const std::string& label = addresses[attempt.address].label;
        if (attempt.done) {
            noteAttempt(attempts, label, attempt.outcome);
        } else if (spentAt) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(*spentAt - attempt.started);
            noteAttempt(attempts, label, "TIMEOUT after " + std::to_string(ms.count()) + " ms");
        }
    }
}

// An attempt on `address` in the caller's own thread, with `time`: whether
// it answered, with its context in `narrowed`; a failure that ends the call
// is thrown, any other noted in `attempts`.
bool attemptHere(CORBA::ORB_ptr orb, const PlannedAddress& address, AttemptTime time,
                 std::string& attempts, CosNaming::NamingContext_var& narrowed) {
    const CORBA::Object_var fresh = orb->string_to_object(address.url.c_str());
    const CORBA::Object_var bounded = boundedObject(orb, fresh.in(), time);
    try {
        narrowed = OrbPlatform::cancellationSafe([&] {
            return CosNaming::NamingContext_var(CosNaming::NamingContext::_narrow(bounded.in()));
        });
        return true;
    } catch (const CORBA::SystemException& ex) {
        noteAttempt(attempts, address.label, attemptOutcome(ex, time));
        if (!repeatableFailure(ex, bounded.in())) {
            throw;
        }
        return false;
    }
}

// The race, started in `order`: the context of the first address that
// answers, `answered` its index and `took` its time; `learning`, when given,
// learns from it and moves on to it.
CosNaming::NamingContext_ptr raceForContext(CORBA::ORB_ptr orb,
                                            const std::vector<PlannedAddress>& addresses,
                                            std::vector<std::size_t> order, AddressSet* learning,
                                            Deadline deadline, std::string& attempts,
                                            std::size_t& answered, Clock::duration& took) {
    RacePlan plan = planRace(
        std::move(order),
        learning == nullptr ? firstWaitMs(std::nullopt, 1) : learnedFirstWaitMs(*learning, 1),
        callTimeoutMs());
    const auto race = std::make_shared<Race>();
    race->orb = CORBA::ORB::_duplicate(orb);
    std::exception_ptr lastFailure;
    const ACE_Guard<ACE_Thread_Mutex> guard(race->lock);
    for (;;) {
        for (Attempt& attempt : race->attempts) {
            if (!attempt.done || attempt.seen) {
                continue;
            }
            attempt.seen = true;
            if (!attempt.thrown) {
                if (learning != nullptr) {
                    noteAnswer(*learning, attempt.address, attempt.started, attempt.ended, 1);
                    preferAddress(*learning, attempt.address);
                }
                answered = attempt.address;
                took = attempt.ended - attempt.started;
                return attempt.answer._retn();
            }
            if (!attempt.failure) {
                noteOutcomes(*race, addresses, attempts, std::nullopt);
                std::rethrow_exception(attempt.thrown);
            }
            lastFailure = attempt.thrown;
            noteRaceFailure(plan, *attempt.failure);
        }
        const auto now = Clock::now();
        const RaceStep step = nextRaceStep(plan, now, timeLeft(deadline, now));
        switch (step.kind) {
            case RaceStep::Kind::Start:
                start(race, step.address, addresses[step.address].url, step.time);
                noteRaceStart(plan, now);
                break;
            case RaceStep::Kind::Wait:
                waitASlice(race->ended, step.wait);
                break;
            case RaceStep::Kind::EndSpent:
                noteOutcomes(*race, addresses, attempts, now);
                throw CORBA::TIMEOUT(0, CORBA::COMPLETED_NO);
            case RaceStep::Kind::EndMostAttempts: {
                noteOutcomes(*race, addresses, attempts, std::nullopt);
                std::string left;
                for (std::size_t i = plan.started; i < plan.order.size(); ++i) {
                    left += (left.empty() ? "" : ", ") + addresses[plan.order[i]].label;
                }
                noteAttempt(attempts, left,
                            "not tried: the call made " + std::to_string(kMostAttempts) +
                                " attempts, the most it makes");
                std::rethrow_exception(lastFailure);
            }
            case RaceStep::Kind::EndAllFailed:
                noteOutcomes(*race, addresses, attempts, std::nullopt);
                std::rethrow_exception(lastFailure);
        }
    }
}

}  // namespace

CosNaming::NamingContext_ptr connectSeveral(CORBA::ORB_ptr orb, const ConnectionPlan& plan,
                                            AddressSet* learning, bool replicas, Deadline deadline,
                                            std::string& attempts, std::size_t& answered) {
    const std::vector<PlannedAddress>& addresses = plan.addresses;
    std::vector<std::size_t> order(addresses.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Where the first address answered the last connection quickly, the path
    // is known: it is asked here first, for the race's first wait, with no
    // thread. Should it fail, the race asks it last.
    const CORBA::ULong stagger = firstWaitMs(std::nullopt, 1);
    const auto started = Clock::now();
    const TimeLeft left = timeLeft(deadline, started);
    const auto* remaining = std::get_if<Clock::duration>(&left);
    const std::optional<CORBA::ULong> fits = remaining == nullptr
                                                 ? std::optional<CORBA::ULong>(stagger)
                                                 : fittingMs(*remaining, callTimeoutMs());
    const bool known = plan.firstAnsweredIn && fits &&
                       *plan.firstAnsweredIn * kSafetyFactor < std::chrono::milliseconds(stagger);
    CosNaming::NamingContext_var narrowed;
    Clock::duration took{};
    if (known && attemptHere(orb, addresses.front(), TimeOut{std::min(stagger, *fits)}, attempts,
                             narrowed)) {
        answered = 0;
        took = Clock::now() - started;
        if (learning != nullptr) {
            noteAnswer(*learning, 0, started, started + took, 1);
        }
    } else {
        if (known) {
            std::rotate(order.begin(), order.begin() + 1, order.end());
        }
        narrowed = raceForContext(orb, addresses, std::move(order), learning, deadline, attempts,
                                  answered, took);
    }
    const PlannedAddress& answering = addresses[answered];
    if (replicas) {
        rememberAnswered(plan.wholeUrl, LastAnswer{answering.url, took});
    } else {
        rememberAnswered(answering.server, LastAnswer{answering.address, took});
    }
    return narrowed._retn();
}

}  // namespace OrbRuntime

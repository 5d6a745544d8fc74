// SPDX-License-Identifier: MIT
// The attempt schedule: which address a call tries next, for how long, and
// when it gives up. Attempt times are powers of two in milliseconds, the
// bound itself, or the bound less a power of two: on TAO each value is a
// policy, made once per ORB, so their number stays small (49 at most).
#include "orb_runtime.h"

#include <algorithm>

namespace OrbRuntime {
namespace {

// Without a bound, an address that timed out this often in one call is
// waited for as long as the ORB waits.
constexpr int kTimeoutsBeforeWaiting = 3;

CORBA::ULong powerOfTwoAtLeast(CORBA::ULong ms) {
    CORBA::ULong power = 1;
    while (power < ms && power < kLongestAttemptMs) {
        power <<= 1;
    }
    return power;
}

std::size_t notRefused(const AttemptPlan& plan) {
    return static_cast<std::size_t>(
        std::count_if(plan.turns.begin(), plan.turns.end(),
                      [](const AttemptPlan::Turn& turn) { return !turn.refused; }));
}

}  // namespace

TimeLeft timeLeft(Deadline deadline, Clock::time_point now) {
    if (deadline == Deadline::max()) {
        return NoBound{};
    }
    return deadline - now;
}

CORBA::ULong firstWaitMs(std::optional<std::uint32_t> slowestAnswerMicros,
                         std::uint32_t alongside) {
    if (!slowestAnswerMicros) {
        return kFirstAttemptMs;
    }
    const std::uint64_t ms =
        (static_cast<std::uint64_t>(*slowestAnswerMicros) * alongside * kSafetyFactor + 999) / 1000;
    return powerOfTwoAtLeast(std::max<CORBA::ULong>(
        kShortestAttemptMs,
        static_cast<CORBA::ULong>(std::min<std::uint64_t>(ms, kLongestAttemptMs))));
}

std::optional<CORBA::ULong> fittingMs(Clock::duration left, CORBA::ULong boundMs) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        left + std::chrono::milliseconds(1) - std::chrono::nanoseconds(1))
                        .count();
    if (ms <= 0) {
        return std::nullopt;
    }
    if (ms >= static_cast<long long>(boundMs)) {
        return boundMs;
    }
    CORBA::ULong power = 1;
    while (power < kLongestAttemptMs && static_cast<long long>(power) * 2 <= ms) {
        power *= 2;
    }
    const auto spentAtLeast = boundMs - static_cast<CORBA::ULong>(ms);
    const CORBA::ULong spent = powerOfTwoAtLeast(spentAtLeast);
    return spent >= spentAtLeast && spent < boundMs ? std::max(power, boundMs - spent) : power;
}

AttemptPlan planAttempts(std::vector<std::size_t> order, CORBA::ULong firstWaitMs,
                         CORBA::ULong boundMs) {
    AttemptPlan plan;
    plan.turns.assign(order.size(), AttemptPlan::Turn{firstWaitMs});
    plan.order = std::move(order);
    plan.boundMs = boundMs;
    return plan;
}

Step nextStep(const AttemptPlan& plan, const TimeLeft& left) {
    const std::size_t address = plan.order[plan.turn];
    if (plan.end != AttemptPlan::End::No) {
        return Step{Step::Kind::EndWithLastFailure, address, NoTimeOut{}};
    }
    const AttemptPlan::Turn& now = plan.turns[plan.turn];
    // The last address not refused has all the time there is.
    const bool last = notRefused(plan) == 1;
    if (const auto* remaining = std::get_if<Clock::duration>(&left)) {
        const std::optional<CORBA::ULong> fits = fittingMs(*remaining, plan.boundMs);
        if (!fits) {
            return Step{Step::Kind::EndSpent, address, NoTimeOut{}};
        }
        return Step{Step::Kind::Attempt, address,
                    TimeOut{last ? *fits : std::min(now.waitMs, *fits)}};
    }
    if (last || now.timeouts >= kTimeoutsBeforeWaiting) {
        return Step{Step::Kind::Attempt, address, NoTimeOut{}};
    }
    return Step{Step::Kind::Attempt, address, TimeOut{now.waitMs}};
}

bool noteFailure(AttemptPlan& plan, Failure failure, bool busy, const TimeLeft& left) {
    AttemptPlan::Turn& now = plan.turns[plan.turn];
    const bool last = notRefused(plan) == 1;
    now.tried = true;
    now.refused = now.refused || failure == Failure::Refused;
    plan.answerable += failure == Failure::Refused ? 0 : 1;
    if (failure == Failure::TimedOut) {
        ++now.timeouts;
        now.waitMs = std::min(now.waitMs * 2, kLongestAttemptMs);
    }
    const bool stay = failure == Failure::TimedOut && busy && !plan.stayed;
    plan.stayed = plan.stayed || stay;
    std::size_t next = stay ? plan.turn : (plan.turn + 1) % plan.turns.size();
    while (plan.turns[next].refused && next != plan.turn) {
        next = (next + 1) % plan.turns.size();
    }
    const auto* remaining = std::get_if<Clock::duration>(&left);
    const std::optional<CORBA::ULong> fits =
        remaining == nullptr ? std::nullopt : fittingMs(*remaining, plan.boundMs);
    using End = AttemptPlan::End;
    if (plan.turns[next].refused) {
        plan.end = End::AllRefused;
    } else if (failure == Failure::TimedOut && last) {
        // A last attempt had all the time that fitted: asking again with
        // what is left would give the address less, not more.
        plan.end = End::LastTimedOut;
    } else if (remaining != nullptr && (!fits || *fits < kShortestAttemptMs)) {
        plan.end = End::TooLittleLeft;
    } else if (plan.answerable >= kMostAttempts) {
        plan.end = End::MostAttempts;
    } else {
        plan.turn = next;
    }
    return !stay;
}

std::vector<std::size_t> untried(const AttemptPlan& plan) {
    std::vector<std::size_t> never;
    for (std::size_t i = 0; i < plan.turns.size(); ++i) {
        if (!plan.turns[i].tried) {
            never.push_back(plan.order[i]);
        }
    }
    return never;
}

RacePlan planRace(std::vector<std::size_t> order, CORBA::ULong staggerMs, CORBA::ULong boundMs) {
    RacePlan plan;
    plan.order = std::move(order);
    plan.staggerMs = staggerMs;
    plan.boundMs = boundMs;
    return plan;
}

RaceStep nextRaceStep(const RacePlan& plan, Clock::time_point now, const TimeLeft& left) {
    const std::size_t running = plan.started - plan.failed;
    const bool allStarted = plan.started == plan.order.size();
    if (allStarted && running == 0) {
        return RaceStep{RaceStep::Kind::EndAllFailed, 0, NoTimeOut{}, NoBound{}};
    }
    const auto* remaining = std::get_if<Clock::duration>(&left);
    const std::optional<CORBA::ULong> fits =
        remaining == nullptr ? std::nullopt : fittingMs(*remaining, plan.boundMs);
    if (remaining != nullptr && !fits) {
        return RaceStep{RaceStep::Kind::EndSpent, 0, NoTimeOut{}, NoBound{}};
    }
    const bool capped = plan.started - plan.refused >= static_cast<std::size_t>(kMostAttempts);
    const bool mayStart = !allStarted && !capped && running < kMostRacing;
    if (!allStarted && capped && running == 0) {
        return RaceStep{RaceStep::Kind::EndMostAttempts, 0, NoTimeOut{}, NoBound{}};
    }
    const auto due = plan.lastStart + std::chrono::milliseconds(plan.staggerMs);
    if (mayStart && (running == 0 || now >= due)) {
        return RaceStep{RaceStep::Kind::Start, plan.order[plan.started],
                        fits ? AttemptTime(TimeOut{*fits}) : AttemptTime(NoTimeOut{}), NoBound{}};
    }
    TimeLeft wait = NoBound{};
    if (mayStart) {
        wait = due - now;
    }
    if (remaining != nullptr) {
        const auto* toDue = std::get_if<Clock::duration>(&wait);
        wait = toDue == nullptr ? *remaining : std::min(*toDue, *remaining);
    }
    return RaceStep{RaceStep::Kind::Wait, 0, NoTimeOut{}, wait};
}

void noteRaceStart(RacePlan& plan, Clock::time_point now) {
    ++plan.started;
    plan.lastStart = now;
}

void noteRaceFailure(RacePlan& plan, Failure failure) {
    ++plan.failed;
    plan.refused += failure == Failure::Refused ? 1 : 0;
}

}  // namespace OrbRuntime

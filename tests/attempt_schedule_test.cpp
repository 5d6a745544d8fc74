// SPDX-License-Identifier: MIT
// The attempt schedule's rules, each a row: outcomes and times in, steps
// out, on a clock of the test's own. No server, no root, nothing skipped.
#include "orb_runtime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace {

using OrbRuntime::AttemptPlan;
using OrbRuntime::Failure;
using OrbRuntime::Step;
using std::chrono::microseconds;
using std::chrono::milliseconds;

std::string timeText(const OrbRuntime::AttemptTime& time) {
    const auto* timeOut = std::get_if<OrbRuntime::TimeOut>(&time);
    return timeOut == nullptr ? "-" : std::to_string(timeOut->ms);
}

// One call's way, as the schedule gives it: "a<address>:<ms>" per attempt
// ("-": no time-out), "stay" when the set is not moved on, then how it ends.
// Each letter of `outcomes` is how the next attempt fails: T timed out,
// B timed out on an address busy with other answers, R refused, L lost; an
// attempt beyond them answers. A time-out takes the attempt's time (a second
// without one), any other failure a millisecond.
std::string run(std::size_t addresses, std::optional<CORBA::ULong> boundMs,
                CORBA::ULong firstWaitMs, long spentMs, const std::string& outcomes) {
    std::vector<std::size_t> order(addresses);
    for (std::size_t i = 0; i < addresses; ++i) {
        order[i] = i;
    }
    AttemptPlan plan = OrbRuntime::planAttempts(order, firstWaitMs, boundMs.value_or(0));
    microseconds now = milliseconds(spentMs);
    const auto left = [&]() -> OrbRuntime::TimeLeft {
        if (!boundMs) {
            return OrbRuntime::NoBound{};
        }
        return std::chrono::duration_cast<OrbRuntime::Clock::duration>(milliseconds(*boundMs) -
                                                                       now);
    };
    std::string way;
    for (const char outcome : outcomes + ".") {
        const Step step = OrbRuntime::nextStep(plan, left());
        if (step.kind == Step::Kind::EndSpent) {
            return way + "spent";
        }
        if (step.kind == Step::Kind::EndWithLastFailure) {
            static const char* const kEnds[] = {"", "refused", "last", "little", "most"};
            way += std::string("end:") + kEnds[static_cast<int>(plan.end)];
            for (const std::size_t never : OrbRuntime::untried(plan)) {
                way += " " + std::to_string(never);
            }
            return way;
        }
        way += "a" + std::to_string(step.address) + ":" + timeText(step.time) + " ";
        if (outcome == '.') {
            return way + "answered";
        }
        const bool timedOut = outcome == 'T' || outcome == 'B';
        const auto* timeOut = std::get_if<OrbRuntime::TimeOut>(&step.time);
        now += !timedOut            ? milliseconds(1)
               : timeOut == nullptr ? milliseconds(1000)
                                    : milliseconds(timeOut->ms);
        const Failure failure = timedOut         ? Failure::TimedOut
                                : outcome == 'R' ? Failure::Refused
                                                 : Failure::Lost;
        if (!OrbRuntime::noteFailure(plan, failure, outcome == 'B', left())) {
            way += "stay ";
        }
    }
    return way;
}

struct Row {
    const char* rule;
    std::size_t addresses;
    std::optional<CORBA::ULong> boundMs;
    CORBA::ULong firstWaitMs;
    long spentMs;
    std::string outcomes;
    std::string way;  // "..." first: the way ends so
};

TEST(AttemptSchedule, EachRuleGivesItsSteps) {
    const std::vector<Row> rows = {
        {"one address without a bound waits as long as the ORB", 1, std::nullopt, 128, 0, "",
         "a0:- answered"},
        {"one address has the whole bound", 1, 1000, 128, 0, "", "a0:1000 answered"},
        {"time-outs double and alternate, then the ORB's wait", 2, std::nullopt, 128, 0, "TTTTTT",
         "a0:128 a1:128 a0:256 a1:256 a0:512 a1:512 a0:- answered"},
        {"the first wait is what the set learned", 2, std::nullopt, 32, 0, "TT",
         "a0:32 a1:32 a0:64 answered"},
        {"a lost connection moves on without doubling", 2, std::nullopt, 128, 0, "LLL",
         "a0:128 a1:128 a0:128 a1:128 answered"},
        {"the last address not refused has all the time left", 2, 1000, 128, 0, "RT",
         "a0:128 a1:999 end:last"},
        {"a refused address is not tried again", 3, std::nullopt, 128, 0, "RTT",
         "a0:128 a1:128 a2:128 a1:256 answered"},
        {"every address refused ends the call", 2, std::nullopt, 128, 0, "RR",
         "a0:128 a1:- end:refused"},
        {"a bound spent before the first attempt makes none", 2, 200, 128, 200, "", "spent"},
        {"a bound all but spent still makes its one attempt", 1, 200, 128, 199, "",
         "a0:1 answered"},
        {"attempts fit what is left, then too little ends", 2, 300, 128, 0, "TTT",
         "a0:128 a1:128 a0:44 end:little"},
        {"under the shortest attempt left, the call ends", 2, 160, 128, 0, "TL",
         "a0:128 a1:32 end:little"},
        {"after a late name lookup the bound less a power of two", 2, 1000, 128, 150, "R",
         "a0:128 a1:744 answered"},
        {"a busy address is asked once more, once a call", 2, std::nullopt, 128, 0, "BB",
         "a0:128 stay a0:256 a1:128 answered"},
        {"refusals do not count towards the most attempts", 70, std::nullopt, 128, 0,
         std::string(65, 'R'), "...a65:128 answered"},
        {"the most attempts end the call and name what was left", 70, std::nullopt, 128, 0,
         std::string(64, 'L'), "...a63:128 end:most 64 65 66 67 68 69"},
    };
    for (const Row& row : rows) {
        const std::string way =
            run(row.addresses, row.boundMs, row.firstWaitMs, row.spentMs, row.outcomes);
        if (row.way.rfind("...", 0) == 0) {
            const std::string tail = row.way.substr(3);
            EXPECT_EQ(way.substr(way.size() - std::min(way.size(), tail.size())), tail) << row.rule;
        } else {
            EXPECT_EQ(way, row.way) << row.rule;
        }
    }
}

TEST(AttemptSchedule, AttemptTimesComeFromAnswersAndTheBound) {
    struct Case {
        std::optional<std::uint32_t> slowestMicros;
        std::uint32_t alongside;
        CORBA::ULong ms;
    };
    for (const Case& c : std::vector<Case>{{std::nullopt, 1, 128},
                                           {std::nullopt, 8, 128},
                                           {1000, 1, 32},  // 4 ms, never under 32
                                           {10000, 1, 64},
                                           {10000, 2, 128},  // over the calls in flight
                                           {100000, 1, 512},
                                           {UINT32_MAX, 64, OrbRuntime::kLongestAttemptMs}}) {
        EXPECT_EQ(OrbRuntime::firstWaitMs(c.slowestMicros, c.alongside), c.ms)
            << c.slowestMicros.value_or(0) << " us, " << c.alongside << " along";
    }
    struct Fit {
        microseconds left;
        std::optional<CORBA::ULong> ms;
    };
    for (const Fit& f : std::vector<Fit>{{milliseconds(1000), 1000},
                                         {microseconds(999500), 1000},
                                         {milliseconds(850), 744},
                                         {milliseconds(600), 512},
                                         {milliseconds(20), 16},
                                         {microseconds(500), 1},
                                         {microseconds(0), std::nullopt},
                                         {milliseconds(-5), std::nullopt}}) {
        EXPECT_EQ(OrbRuntime::fittingMs(f.left, 1000), f.ms) << f.left.count() << " us left";
    }
}

// A connection's race, as its rules run it on the test's clock: each
// address's script is how its attempt goes, "A<ms>" answered, "L<ms>" lost,
// "R" refused a millisecond after it starts, "S" silent until its time-out.
// The way: "s<address>@<ms>:<time>" per start ("-": no time-out),
// "f<address>@<ms>" per failure, then how it ends, at what time.
std::string race(const std::vector<std::string>& scripts, std::optional<CORBA::ULong> boundMs,
                 long spentMs) {
    std::vector<std::size_t> order(scripts.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    OrbRuntime::RacePlan plan = OrbRuntime::planRace(order, 128, boundMs.value_or(0));
    const OrbRuntime::Clock::time_point zero{};
    long now = spentMs;
    struct Running {
        std::size_t address;
        std::optional<long> endsAt;  // none: waits as long as the ORB
        char how;
    };
    std::vector<Running> running;
    std::string way;
    for (int steps = 0; steps < 1000; ++steps) {
        const OrbRuntime::TimeLeft left =
            boundMs ? OrbRuntime::TimeLeft(std::chrono::duration_cast<OrbRuntime::Clock::duration>(
                          milliseconds(static_cast<long>(*boundMs) - now)))
                    : OrbRuntime::TimeLeft(OrbRuntime::NoBound{});
        const OrbRuntime::RaceStep step =
            OrbRuntime::nextRaceStep(plan, zero + milliseconds(now), left);
        using Kind = OrbRuntime::RaceStep::Kind;
        if (step.kind == Kind::Start) {
            const std::string& script = scripts[step.address];
            const auto* timeOut = std::get_if<OrbRuntime::TimeOut>(&step.time);
            std::optional<long> endsAt;
            if (script[0] == 'R') {
                endsAt = now + 1;
            } else if (script[0] != 'S') {
                endsAt = now + std::stol(script.substr(1));
            }
            if (timeOut != nullptr && (!endsAt || *endsAt > now + timeOut->ms)) {
                endsAt = now + timeOut->ms;
                running.push_back({step.address, endsAt, 'T'});
            } else {
                running.push_back({step.address, endsAt, script[0]});
            }
            way += "s" + std::to_string(step.address) + "@" + std::to_string(now) + ":" +
                   timeText(step.time) + " ";
            OrbRuntime::noteRaceStart(plan, zero + milliseconds(now));
            continue;
        }
        if (step.kind != Kind::Wait) {
            way += step.kind == Kind::EndSpent       ? "spent"
                   : step.kind == Kind::EndAllFailed ? "failed"
                                                     : "most";
            return way + "@" + std::to_string(now);
        }
        std::optional<long> wake;
        if (const auto* wait = std::get_if<OrbRuntime::Clock::duration>(&step.wait)) {
            wake = now + std::chrono::duration_cast<milliseconds>(*wait).count();
        }
        const auto soonest = std::min_element(
            running.begin(), running.end(), [](const Running& one, const Running& other) {
                return one.endsAt && (!other.endsAt || *one.endsAt < *other.endsAt);
            });
        if (soonest != running.end() && soonest->endsAt && (!wake || *soonest->endsAt < *wake)) {
            wake = soonest->endsAt;
        }
        if (!wake) {
            return way + "waits for ever";
        }
        now = std::max(now, *wake);
        for (auto attempt = running.begin(); attempt != running.end();) {
            if (!attempt->endsAt || *attempt->endsAt > now) {
                ++attempt;
                continue;
            }
            if (attempt->how == 'A') {
                return way + "won" + std::to_string(attempt->address) + "@" + std::to_string(now);
            }
            way += "f" + std::to_string(attempt->address) + "@" + std::to_string(now) + " ";
            OrbRuntime::noteRaceFailure(plan, attempt->how == 'R'   ? Failure::Refused
                                              : attempt->how == 'T' ? Failure::TimedOut
                                                                    : Failure::Lost);
            attempt = running.erase(attempt);
        }
    }
    return way + "runs on";
}

TEST(ConnectionRace, EachRuleGivesItsSteps) {
    struct RaceRow {
        const char* rule;
        std::vector<std::string> scripts;
        std::optional<CORBA::ULong> boundMs;
        long spentMs;
        std::string way;  // "..." first: the way ends so
    };
    const std::vector<std::string> slowEight(8, "A2000");
    std::vector<std::string> eightSlowThenFast = slowEight;
    eightSlowThenFast.emplace_back("A1");
    std::vector<std::string> refusedThenFast(65, "R");
    refusedThenFast.resize(70, "A1");
    std::vector<std::string> lostThenFast(64, "L1");
    lostThenFast.resize(70, "A1");
    const std::vector<RaceRow> rows = {
        {"a slow address is waited for, not abandoned",
         {"A300", "A300"},
         1000,
         0,
         "s0@0:1000 s1@128:872 won0@300"},
        {"a silent address costs the stagger",
         {"S", "A1"},
         1000,
         0,
         "s0@0:1000 s1@128:872 won1@129"},
        {"a refusal starts the next at once",
         {"R", "A1"},
         1000,
         0,
         "s0@0:1000 f0@1 s1@1:999 won1@2"},
        {"without a bound, attempts wait as long as the ORB",
         {"S", "A500"},
         std::nullopt,
         0,
         "s0@0:- s1@128:- won1@628"},
        {"the second may answer while the first is still waited for",
         {"A900", "A100"},
         1000,
         0,
         "s0@0:1000 s1@128:872 won1@228"},
        {"every attempt failing ends the call",
         {"R", "L5"},
         1000,
         0,
         "s0@0:1000 f0@1 s1@1:999 f1@6 failed@6"},
        {"silent to the end, the call ends with the bound",
         {"S", "S"},
         1000,
         0,
         "s0@0:1000 s1@128:872 f0@1000 f1@1000 failed@1000"},
        {"a bound spent before the first attempt makes none", {"A1", "A1"}, 200, 200, "spent@200"},
        {"after a late name lookup, attempts fit what is left",
         {"S", "S", "A1"},
         1000,
         150,
         "s0@150:744 s1@278:512 s2@406:512 won2@407"},
        {"at most eight attempts are in flight", eightSlowThenFast, std::nullopt, 0,
         "...s7@896:- won0@2000"},
        {"refusals do not count towards the most attempts", refusedThenFast, std::nullopt, 0,
         "...s65@65:- won65@66"},
        {"the most attempts end the call", lostThenFast, std::nullopt, 0, "...f63@64 most@64"},
    };
    for (const RaceRow& row : rows) {
        const std::string way = race(row.scripts, row.boundMs, row.spentMs);
        if (row.way.rfind("...", 0) == 0) {
            const std::string tail = row.way.substr(3);
            EXPECT_EQ(way.substr(way.size() - std::min(way.size(), tail.size())), tail) << row.rule;
        } else {
            EXPECT_EQ(way, row.way) << row.rule;
        }
    }
}

// What a set of addresses learns from its calls, with no ORB behind it.
TEST(AddressSet, LearnsFromAnswersAndMovesOnOnce) {
    const auto set = OrbRuntime::makeAddressSet(
        CORBA::ORB::_nil(), {{"a", "", "a", ""}, {"b", "", "b", ""}, {"c", "", "c", ""}});
    const OrbRuntime::Clock::time_point start{};
    EXPECT_EQ(OrbRuntime::learnedFirstWaitMs(*set, 1), OrbRuntime::kFirstAttemptMs);
    OrbRuntime::noteAnswer(*set, 0, start, start + milliseconds(40), 2);  // 20 ms each
    EXPECT_EQ(OrbRuntime::learnedFirstWaitMs(*set, 1), 128U);
    EXPECT_EQ(OrbRuntime::learnedFirstWaitMs(*set, 4), 512U);

    OrbRuntime::moveOnFrom(*set, 0);
    OrbRuntime::moveOnFrom(*set, 0);  // a second call that failed on 0 with the first
    std::vector<std::size_t> order = set->order;
    EXPECT_EQ(order, (std::vector<std::size_t>{1, 2, 0}));

    OrbRuntime::noteAnswer(*set, 1, start, start + milliseconds(100), 1);
    EXPECT_TRUE(OrbRuntime::answeringSince(*set, 1, start + milliseconds(99)));
    EXPECT_FALSE(OrbRuntime::answeringSince(*set, 1, start + milliseconds(100)));
    EXPECT_FALSE(OrbRuntime::answeringSince(*set, 0, start))
        << "0 answered, but is no longer first";
    EXPECT_FALSE(OrbRuntime::answeringSince(*set, 2, start)) << "2 never answered";
}

}  // namespace

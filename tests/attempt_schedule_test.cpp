// SPDX-License-Identifier: MIT
// The attempt schedule's rules, each a row: outcomes and times in, steps
// out, on a clock of the test's own. No server, no root, nothing skipped.
#include "orb_runtime.h"

#include <gtest/gtest.h>

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

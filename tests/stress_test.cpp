// SPDX-License-Identifier: MIT
// Every entry point and check-then-store operation from many threads at once,
// against two naming services: no deadlock, no torn state, one ORB.
#include "orb_runtime.h"
#include "support/naming_server.h"
#include "support/stand_ins.h"
#include "zorclient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr int kIterations = 40;

TEST(Stress, MixedCallsFromManyThreads) {
    const zortest::NamingServer first(0);
    const zortest::NamingServer second(1);
    const CORBA::ORB_var mine = zortest::processOrb();
    const CosNaming::NamingContext_var roots[] = {zortest::rootContext(mine.in(), first.host()),
                                                  zortest::rootContext(mine.in(), second.host())};
    const CORBA::Object_var markers[] = {zortest::bindMarker(roots[0].in(), "a", "b", "c"),
                                         zortest::bindMarker(roots[1].in(), "a", "b", "c")};
    const std::string hosts[] = {first.host(), second.host()};
    const auto isOneOfTheRoots = [&roots](CORBA::Object_ptr object) {
        return object->_is_equivalent(roots[0].in()) || object->_is_equivalent(roots[1].in());
    };
    const auto isOneOfTheMarkers = [&markers](CORBA::Object_ptr object) {
        return object->_is_equivalent(markers[0].in()) || object->_is_equivalent(markers[1].in());
    };

    const int orbInitsBefore = zortest::orbInitCalls();
    std::atomic<int> failures{0};
    const auto check = [&failures](bool ok) {
        if (!ok) {
            ++failures;
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kIterations; ++i) {
                const std::string& host = hosts[(t + i) % 2];
                switch ((t + i) % 6) {
                    case 0:
                        initCorba(host, 0);
                        break;
                    case 1: {
                        const CosNaming::NamingContext_var ctx = getNameService();
                        check(CORBA::is_nil(ctx.in()) || isOneOfTheRoots(ctx.in()));
                        break;
                    }
                    case 2: {
                        const CORBA::Object_var object = createObject("a", "b", "c");
                        check(CORBA::is_nil(object.in()) || isOneOfTheMarkers(object.in()));
                        break;
                    }
                    case 3: {
                        // Both services answer, and once an ORB is held it stays.
                        const bool hadOrb = !CORBA::is_nil(CORBA::ORB_var(OrbRuntime::getOrb()));
                        const int status = OrbRuntime::initNamingService(host, 0);
                        check(status == 0 || status == 1 || (status == -1 && !hadOrb));
                        break;
                    }
                    case 4: {
                        const int status = OrbRuntime::adoptNamingContext(roots[i % 2].in());
                        check(status == 0 || status == 1);
                        break;
                    }
                    default: {
                        const int status = OrbRuntime::adoptOrb(mine.in());
                        check(status == 0 || status == 1);
                        break;
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(zortest::orbInitCalls() - orbInitsBefore, 1);
    const CORBA::ORB_var held = OrbRuntime::getOrb();
    EXPECT_EQ(held.in(), mine.in());
    const CORBA::Object_var object = createObject("a", "b", "c");
    ASSERT_FALSE(CORBA::is_nil(object.in()));
    EXPECT_TRUE(isOneOfTheMarkers(object.in()));
}

// Remote calls hold no lock of the library's: a connection that hangs in
// initCorba holds up neither adoptNamingContext nor initNamingService, and two
// lookups on a context that never answers are in flight at once.
TEST(Concurrency, RemoteCallsHoldNoLockOfTheLibrarys) {
    ASSERT_EQ(OrbRuntime::initOrb(), 0);
    const CORBA::ORB_var orb = OrbRuntime::getOrb();
    const std::string connectHost = zortest::loopbackHost(1);
    const std::string lookupHost = zortest::loopbackHost(2);
    auto connectSilent = std::make_unique<zortest::SilentServer>(connectHost);
    auto lookupSilent = std::make_unique<zortest::SilentServer>(lookupHost);
    auto connecting = std::async(std::launch::async, [&connectHost] { initCorba(connectHost, 0); });
    EXPECT_TRUE(connectSilent->waitForRequests(1));

    const CosNaming::NamingContext_var hanging = zortest::offlineContext(orb.in(), lookupHost);
    auto storing = std::async(std::launch::async, [&] {
        return OrbRuntime::adoptNamingContext(hanging.in()) * 10 +
               OrbRuntime::initNamingService(connectHost, 0);
    });
    const bool storedAtOnce =
        storing.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    std::vector<std::future<CORBA::Object_ptr>> lookups;
    for (int i = 0; i < 2; ++i) {
        lookups.push_back(
            std::async(std::launch::async, [] { return createObject("a", "b", "c"); }));
    }
    const bool lookupsOverlap = lookupSilent->waitForRequests(2);
    connectSilent.reset();  // every call on them fails now
    lookupSilent.reset();
    EXPECT_TRUE(storedAtOnce) << "held up by the connection in initCorba";
    EXPECT_EQ(storing.get(), 0 * 10 + 1);
    EXPECT_TRUE(lookupsOverlap) << "the second lookup waited for the first";
    for (auto& lookup : lookups) {
        EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(lookup.get())));
    }
    connecting.get();
}

}  // namespace

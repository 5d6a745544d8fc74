// SPDX-License-Identifier: MIT
// The three exported functions, called through the real shared object.
#include "support/naming_server.h"
#include "support/stand_ins.h"
#include "zorclient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

bool holdsContextOf(CosNaming::NamingContext_ptr root) {
    const CosNaming::NamingContext_var held = getNameService();
    return !CORBA::is_nil(held.in()) && held->_is_equivalent(root);
}

TEST(EntryPoints, NilBeforeAnyInit) {
    const int calls = zortest::orbInitCalls();
    const CosNaming::NamingContext_var ctx = getNameService();
    const CORBA::Object_var object = createObject("a", "b", "c");
    EXPECT_TRUE(CORBA::is_nil(ctx.in()));
    EXPECT_TRUE(CORBA::is_nil(object.in()));
    EXPECT_EQ(zortest::orbInitCalls(), calls);
}

TEST(EntryPoints, ResolvesAndKeepsTheContextThroughFailedConnections) {
    const zortest::NamingServer server;
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    const CORBA::Object_var marker = zortest::bindMarker(root.in(), "app", "services", "echo");

    initCorba(server.host(), 12345);  // `reserved` is ignored: no port, no effect
    ASSERT_TRUE(holdsContextOf(root.in()));
    const CORBA::Object_var found = createObject("app", "services", "echo");
    ASSERT_FALSE(CORBA::is_nil(found.in()));
    EXPECT_TRUE(found->_is_equivalent(marker.in()));

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const CORBA::Object_var unbound = createObject("app", "services", "missing");
    EXPECT_TRUE(CORBA::is_nil(unbound.in()));
    initCorba(zortest::loopbackHost(1), 0);  // nothing listens there
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(holdsContextOf(root.in()));
}

TEST(EntryPoints, AnotherReachableHostReplacesTheContext) {
    const zortest::NamingServer first(0);
    const zortest::NamingServer second(1);
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var firstRoot = zortest::rootContext(orb.in(), first.host());
    const CosNaming::NamingContext_var secondRoot = zortest::rootContext(orb.in(), second.host());
    const CORBA::Object_var firstMarker = zortest::bindMarker(firstRoot.in(), "a", "b", "c");
    const CORBA::Object_var secondMarker = zortest::bindMarker(secondRoot.in(), "a", "b", "c");

    initCorba(first.host(), 0);
    const CosNaming::NamingContext_var earlier = getNameService();
    initCorba(second.host(), 0);
    EXPECT_TRUE(holdsContextOf(secondRoot.in()));
    const CORBA::Object_var found = createObject("a", "b", "c");
    ASSERT_FALSE(CORBA::is_nil(found.in()));
    EXPECT_TRUE(found->_is_equivalent(secondMarker.in()));

    // A context handed out before stays the caller's and keeps working.
    const CosNaming::Name name = [] {
        CosNaming::Name n;
        n.length(3);
        n[0].id = "a";
        n[1].id = "b";
        n[2].id = "c";
        return n;
    }();
    const CORBA::Object_var viaEarlier = earlier->resolve(name);
    EXPECT_TRUE(viaEarlier->_is_equivalent(firstMarker.in()));
}

TEST(EntryPoints, RacingFirstCallsCreateOneOrb) {
    const zortest::NamingServer server;
    const int calls = zortest::orbInitCalls();
    // The first ORB creation takes long enough for every thread to arrive.
    zortest::delayOrbInit(300);
    std::atomic<int> waiting{8};
    std::vector<std::thread> threads;
    threads.reserve(8);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            for (--waiting; waiting.load() > 0;) {
                std::this_thread::yield();
            }
            initCorba(server.host(), 0);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(zortest::orbInitCalls(), calls + 1);
    const CosNaming::NamingContext_var ctx = getNameService();
    EXPECT_FALSE(CORBA::is_nil(ctx.in()));
}

// A nil ORB from the ORB library ends start-up for good: initCorba does not
// try again, and nothing is connected.
TEST(EntryPoints, NilOrbFromTheOrbLibraryIsFinal) {
    const zortest::NamingServer server;
    const int calls = zortest::orbInitCalls();
    zortest::returnNilFromNextOrbInit();
    for (int i = 0; i < 3; ++i) {
        initCorba(server.host(), 0);
    }
    EXPECT_EQ(zortest::orbInitCalls(), calls + 1);
    EXPECT_TRUE(CORBA::is_nil(CosNaming::NamingContext_var(getNameService())));
}

TEST(EntryPoints, OrbCreationExceptionReachesTheCallerAndIsRetried) {
    const zortest::NamingServer server;
    {
        const zortest::OrbInitFailure failure;
        EXPECT_THROW(initCorba(server.host(), 0), CORBA::SystemException);
    }
    EXPECT_TRUE(CORBA::is_nil(CosNaming::NamingContext_var(getNameService())));

    initCorba(server.host(), 0);
    EXPECT_FALSE(CORBA::is_nil(CosNaming::NamingContext_var(getNameService())));
}

}  // namespace

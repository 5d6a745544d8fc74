// SPDX-License-Identifier: MIT
// The naming-service client against real omniNames servers.
#include "orb_runtime.h"
#include "support/naming_server.h"
#include "support/stand_ins.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(NamingUrl, HostIsInsertedVerbatim) {
    const struct {
        std::string host;
        std::string url;
    } cases[] = {
        {"ns.example", "corbaloc:iiop:1.1@ns.example:9999/NameService"},
        {"", "corbaloc:iiop:1.1@:9999/NameService"},
        {"h:1234", "corbaloc:iiop:1.1@h:1234:9999/NameService"},
        {"a\0b"s, "corbaloc:iiop:1.1@a\0b:9999/NameService"s},
        {"127.0.0.1:1234", "corbaloc:iiop:1.1@127.0.0.1:1234:9999/NameService"},
        {"::1", "corbaloc:iiop:1.1@[::1]:9999/NameService"},
        {"[::1]", "corbaloc:iiop:1.1@[::1]:9999/NameService"},
        {"::ffff:127.0.0.1", "corbaloc:iiop:1.1@[::ffff:127.0.0.1]:9999/NameService"},
        {"::1\0x"s, "corbaloc:iiop:1.1@::1\0x:9999/NameService"s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OrbRuntime::namingServiceUrl(c.host), c.url);
    }
}

TEST(NamingName, ThreeComponentsOfIdsWithEmptyKinds) {
    const CosNaming::Name name = OrbRuntime::makeName("a/b", "c.d", "");
    ASSERT_EQ(name.length(), 3U);
    EXPECT_STREQ(name[0].id.in(), "a/b");
    EXPECT_STREQ(name[1].id.in(), "c.d");
    EXPECT_STREQ(name[2].id.in(), "");
    for (CORBA::ULong i = 0; i < 3; ++i) {
        EXPECT_STREQ(name[i].kind.in(), "");
    }
}

class NamingClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OrbRuntime::initOrb(), 0);
        orb_ = OrbRuntime::getOrb();
        root_ = zortest::rootContext(orb_.in(), server_.host());
    }

    zortest::NamingServer server_;
    CORBA::ORB_var orb_;
    CosNaming::NamingContext_var root_;
};

TEST_F(NamingClient, ConnectsAndResolvesIdsAsGiven) {
    const CosNaming::NamingContext_var ctx =
        OrbRuntime::connectNamingService(orb_.in(), server_.host(), 7);
    ASSERT_FALSE(CORBA::is_nil(ctx.in()));
    EXPECT_TRUE(ctx->_is_equivalent(root_.in()));

    const CORBA::Object_var marker = zortest::bindMarker(root_.in(), "a/b", "c.d", "");
    const CORBA::Object_var found = OrbRuntime::resolveName(ctx.in(), "a/b", "c.d", "");
    ASSERT_FALSE(CORBA::is_nil(found.in()));
    EXPECT_TRUE(found->_is_equivalent(marker.in()));

    const CORBA::Object_var unbound = OrbRuntime::resolveName(ctx.in(), "a/b", "c.d", "x");
    EXPECT_TRUE(CORBA::is_nil(unbound.in()));
    const CORBA::Object_var partial = OrbRuntime::resolveName(ctx.in(), "a", "b", "c.d");
    EXPECT_TRUE(CORBA::is_nil(partial.in()));
}

TEST_F(NamingClient, TextsWithNulNeverReachTheServer) {
    // Cut at the NUL, each of these would name something that exists.
    const std::string cutHost = server_.host() + ":9999/NameService\0junk"s;
    const CosNaming::NamingContext_var ctx =
        OrbRuntime::connectNamingService(orb_.in(), cutHost, 0);
    EXPECT_TRUE(CORBA::is_nil(ctx.in()));
    EXPECT_EQ(OrbRuntime::initNamingService(cutHost, 0), -2);

    zortest::bindPath(root_.in(), "a", "b", "c", root_.in());
    for (const auto& [first, second, third] :
         {std::tuple{"a\0x"s, "b"s, "c"s}, {"a"s, "b\0x"s, "c"s}, {"a"s, "b"s, "c\0x"s}}) {
        const CORBA::Object_var found = OrbRuntime::resolveName(root_.in(), first, second, third);
        EXPECT_TRUE(CORBA::is_nil(found.in()));
    }
}

TEST_F(NamingClient, HostsWithoutANamingServiceGiveNil) {
    // A port inside the host text is not the library's to use: a naming
    // service on that port is not reached.
    const zortest::NamingServer onItsPort(zortest::loopbackHost(2), 1234);
    for (const std::string& host : {zortest::loopbackHost(2), zortest::loopbackHost(2) + ":1234"}) {
        const CosNaming::NamingContext_var ctx =
            OrbRuntime::connectNamingService(orb_.in(), host, 0);
        EXPECT_TRUE(CORBA::is_nil(ctx.in())) << host;
    }
    const CosNaming::NamingContext_var noOrb =
        OrbRuntime::connectNamingService(CORBA::ORB::_nil(), server_.host(), 0);
    EXPECT_TRUE(CORBA::is_nil(noOrb.in()));
}

TEST_F(NamingClient, InitNamingServiceRetriesAfterAnUnreachableServer) {
    const std::string later = zortest::loopbackHost(1);
    EXPECT_EQ(OrbRuntime::initNamingService(later, 0), -2);
    EXPECT_TRUE(CORBA::is_nil(CosNaming::NamingContext_var(OrbRuntime::getNamingContext())));

    const zortest::NamingServer second(1);
    EXPECT_EQ(OrbRuntime::initNamingService(later, 0), 0);
    EXPECT_EQ(OrbRuntime::initNamingService(server_.host(), 0), 1);
    const CosNaming::NamingContext_var held = OrbRuntime::getNamingContext();
    const CosNaming::NamingContext_var secondRoot = zortest::rootContext(orb_.in(), later);
    EXPECT_TRUE(held->_is_equivalent(secondRoot.in()));
}

TEST_F(NamingClient, AdoptNamingContextKeepsTheFirst) {
    EXPECT_EQ(OrbRuntime::adoptNamingContext(CosNaming::NamingContext::_nil()), -1);
    EXPECT_EQ(OrbRuntime::adoptNamingContext(root_.in()), 0);

    const zortest::NamingServer second(1);
    const CosNaming::NamingContext_var other = zortest::rootContext(orb_.in(), second.host());
    EXPECT_EQ(OrbRuntime::adoptNamingContext(other.in()), 1);
    const CosNaming::NamingContext_var held = OrbRuntime::getNamingContext();
    EXPECT_TRUE(held->_is_equivalent(root_.in()));
}

TEST_F(NamingClient, ResolveObjectUsesTheHeldContext) {
    zortest::bindPath(root_.in(), "a", "b", "c", root_.in());
    EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(OrbRuntime::resolveObject("a", "b", "c"))));

    OrbRuntime::setNamingContext(root_.in());
    const CORBA::Object_var found = OrbRuntime::resolveObject("a", "b", "c");
    EXPECT_FALSE(CORBA::is_nil(found.in()));
    const CORBA::Object_var none =
        OrbRuntime::resolveName(CosNaming::NamingContext::_nil(), "a", "b", "c");
    EXPECT_TRUE(CORBA::is_nil(none.in()));
}

// A bounded call whose bound is spent before an attempt makes none: an
// attempt time of 0 would be no time-out at all, and a server that never
// answers would hold the call for ever.
TEST(NamingBound, ASpentBoundMakesNoAttempt) {
    setenv(OrbRuntime::kCallTimeoutVariable, "1000", 1);
    OrbRuntime::readSettings();
    const CORBA::ORB_var orb = zortest::processOrb();
    const std::string host = zortest::loopbackHost(1);
    std::optional<zortest::SilentServer> silent(std::in_place, host);
    std::string why;
    const auto plan = OrbRuntime::planConnection(host, OrbRuntime::callDeadline(), why);
    std::string attempts;
    auto connecting = std::async(std::launch::async, [&] {
        try {
            CosNaming::NamingContext_var(OrbRuntime::connectReplicas(
                orb.in(), plan, std::chrono::steady_clock::now(), attempts));
        } catch (const CORBA::TIMEOUT&) {
            return true;
        } catch (...) {  // NOLINT(bugprone-empty-catch): any other end is a failure
        }
        return false;
    });
    const bool ended = connecting.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    silent.reset();  // ends a call that was made without a time-out
    EXPECT_TRUE(ended) << "an attempt without a time-out was made";
    EXPECT_TRUE(connecting.get());
    EXPECT_EQ(attempts, host + ": not tried: the bound was spent");
}

// The resolver is asked once for a name however many callers want it at
// once, and its answer serves for a second; a failure serves nobody after.
TEST(NameLookups, OneLookupPerNameInFlightAndNoFailureReused) {
    const auto lookUp = [](const std::string& name) {
        std::string why;
        return OrbRuntime::addressesOf(
                   {name}, false, std::chrono::steady_clock::now() + std::chrono::seconds(5), why)
            .front();
    };
    zortest::delayNameLookups(300);
    std::vector<std::future<std::vector<std::string>>> callers;
    for (int i = 0; i < 4; ++i) {
        callers.push_back(std::async(std::launch::async, lookUp, "localhost"));
    }
    for (auto& caller : callers) {
        EXPECT_FALSE(caller.get().empty());
    }
    EXPECT_FALSE(lookUp("localhost").empty());
    EXPECT_EQ(zortest::nameLookups("localhost"), 1) << "callers at once, then one a moment later";
    EXPECT_TRUE(lookUp("unknown.invalid").empty());
    EXPECT_TRUE(lookUp("unknown.invalid").empty());
    EXPECT_EQ(zortest::nameLookups("unknown.invalid"), 2);
    zortest::delayNameLookups(0);
}

TEST(NamingWithoutOrb, InitNamingServiceNeedsAnOrbUnlessAContextIsHeld) {
    EXPECT_EQ(OrbRuntime::initNamingService("127.0.0.1", 0), -1);

    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var ctx = zortest::offlineContext(orb.in(), "127.0.0.1");
    OrbRuntime::setNamingContext(ctx.in());
    EXPECT_EQ(OrbRuntime::initNamingService("127.0.0.1", 0), 1);
    const CORBA::ORB_var noOrb = OrbRuntime::getOrb();
    EXPECT_TRUE(CORBA::is_nil(noOrb.in()));
}

}  // namespace

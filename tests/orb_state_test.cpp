// SPDX-License-Identifier: MIT
// The process-wide slots and ORB start-up. Each test runs in a process of its
// own, so every test starts with empty slots.
#include "orb_runtime.h"
#include "support/naming_server.h"
#include "support/shared_orb_id.h"
#include "support/stand_ins.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(OrbState, SlotsStartEmpty) {
    const CORBA::ORB_var orb = OrbRuntime::getOrb();
    const CosNaming::NamingContext_var ctx = OrbRuntime::getNamingContext();
    EXPECT_TRUE(CORBA::is_nil(orb.in()));
    EXPECT_TRUE(CORBA::is_nil(ctx.in()));
}

TEST(OrbState, InitOrbCreatesOnceUnderThePlatformIdentifier) {
    const int before = zortest::orbInitCalls();
    EXPECT_EQ(OrbRuntime::initOrb(), 0);
    EXPECT_EQ(zortest::orbInitCalls(), before + 1);
    EXPECT_EQ(zortest::lastOrbInitId(), zortest::kSharedOrbId);

    EXPECT_EQ(OrbRuntime::initOrb(), 1);
    EXPECT_EQ(zortest::orbInitCalls(), before + 1);

    const CORBA::ORB_var held = OrbRuntime::getOrb();
    const CORBA::ORB_var shared = zortest::processOrb();
    EXPECT_EQ(held.in(), shared.in()) << "another module's ORB_init must see the same ORB";
}

TEST(OrbState, SettingsComeFromTheEnvironment) {
    const struct {
        const char* value;
        CORBA::ULong timeoutMs;
        bool refused;
    } cases[] = {
        {nullptr, 0, false},
        {"", 0, false},
        {"0", 0, false},
        {"500", 500, false},
        {"4294967295", 4294967295U, false},
        {"12x", 0, true},
        {"-5", 0, true},
        {" 5", 0, true},
        {"1.5", 0, true},
        {"4294967296", 0, true},
    };
    for (const auto& c : cases) {
        if (c.value != nullptr) {
            setenv(OrbRuntime::kCallTimeoutVariable, c.value, 1);
        } else {
            unsetenv(OrbRuntime::kCallTimeoutVariable);
        }
        setenv(OrbRuntime::kTraceVariable, c.refused ? "1" : "0", 1);
        testing::internal::CaptureStderr();
        OrbRuntime::readSettings();
        const std::string written = testing::internal::GetCapturedStderr();
        const std::string shown = c.value != nullptr ? c.value : "(unset)";
        EXPECT_EQ(OrbRuntime::callTimeoutMs(), c.timeoutMs) << shown;
        EXPECT_EQ(written.find("is not a positive number of milliseconds") != std::string::npos,
                  c.refused)
            << shown << ": " << written;
        EXPECT_EQ(OrbRuntime::tracing(), c.refused) << shown;
    }
}

TEST(OrbState, OrbCreationFailureStoresNothingAndIsRetried) {
    zortest::returnNilFromNextOrbInit();
    EXPECT_EQ(OrbRuntime::initOrb(), -1);
    EXPECT_TRUE(CORBA::is_nil(CORBA::ORB_var(OrbRuntime::getOrb())));
    {
        const zortest::OrbInitFailure failure;
        EXPECT_THROW(OrbRuntime::initOrb(), CORBA::SystemException);
    }
    const CORBA::ORB_var none = OrbRuntime::getOrb();
    EXPECT_TRUE(CORBA::is_nil(none.in()));

    EXPECT_EQ(OrbRuntime::initOrb(), 0);
    const CORBA::ORB_var held = OrbRuntime::getOrb();
    EXPECT_FALSE(CORBA::is_nil(held.in()));
}

TEST(OrbState, GettersHandOutReferencesOfTheirOwn) {
    ASSERT_EQ(OrbRuntime::initOrb(), 0);
    for (int i = 0; i < 3; ++i) {
        CORBA::release(OrbRuntime::getOrb());
    }
    const CORBA::ORB_var orb = OrbRuntime::getOrb();
    ASSERT_FALSE(CORBA::is_nil(orb.in()));
    EXPECT_NO_THROW(orb->work_pending());

    const CosNaming::NamingContext_var ctx = zortest::offlineContext(orb.in(), "127.0.0.1");
    OrbRuntime::setNamingContext(ctx.in());
    for (int i = 0; i < 3; ++i) {
        CORBA::release(OrbRuntime::getNamingContext());
    }
    const CosNaming::NamingContext_var held = OrbRuntime::getNamingContext();
    ASSERT_FALSE(CORBA::is_nil(held.in()));
    EXPECT_TRUE(held->_is_equivalent(ctx.in()));
}

TEST(OrbState, SettersIgnoreNilAndReplaceOtherwise) {
    ASSERT_EQ(OrbRuntime::initOrb(), 0);
    const CORBA::ORB_var orb = OrbRuntime::getOrb();
    OrbRuntime::setOrb(CORBA::ORB::_nil());
    EXPECT_EQ(CORBA::ORB_var(OrbRuntime::getOrb()).in(), orb.in());

    const CosNaming::NamingContext_var first = zortest::offlineContext(orb.in(), "127.0.0.1");
    const CosNaming::NamingContext_var second = zortest::offlineContext(orb.in(), "127.0.0.2");
    OrbRuntime::setNamingContext(first.in());
    OrbRuntime::setNamingContext(CosNaming::NamingContext::_nil());
    EXPECT_TRUE(
        CosNaming::NamingContext_var(OrbRuntime::getNamingContext())->_is_equivalent(first.in()));
    OrbRuntime::setNamingContext(second.in());
    EXPECT_TRUE(
        CosNaming::NamingContext_var(OrbRuntime::getNamingContext())->_is_equivalent(second.in()));
}

TEST(OrbState, AdoptOrbFillsOnlyAnEmptySlot) {
    EXPECT_EQ(OrbRuntime::adoptOrb(CORBA::ORB::_nil()), -1);

    // The settings are read when an ORB is adopted, as when one is created,
    // and never again.
    setenv(OrbRuntime::kCallTimeoutVariable, "700", 1);
    setenv(OrbRuntime::kTraceVariable, "1", 1);
    CORBA::ORB_ptr mine = zortest::processOrb();
    EXPECT_EQ(OrbRuntime::adoptOrb(mine), 0);
    CORBA::release(mine);  // the slot keeps its own duplicate
    const CORBA::ORB_var held = OrbRuntime::getOrb();
    ASSERT_FALSE(CORBA::is_nil(held.in()));
    EXPECT_NO_THROW(held->work_pending());
    EXPECT_EQ(OrbRuntime::callTimeoutMs(), 700U);
    EXPECT_TRUE(OrbRuntime::tracing());

    setenv(OrbRuntime::kCallTimeoutVariable, "900", 1);
    unsetenv(OrbRuntime::kTraceVariable);
    const int calls = zortest::orbInitCalls();
    EXPECT_EQ(OrbRuntime::adoptOrb(held.in()), 1);
    EXPECT_EQ(OrbRuntime::initOrb(), 1);
    EXPECT_EQ(zortest::orbInitCalls(), calls);
    EXPECT_EQ(OrbRuntime::callTimeoutMs(), 700U);
    EXPECT_TRUE(OrbRuntime::tracing());
}

}  // namespace

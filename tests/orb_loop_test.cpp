// SPDX-License-Identifier: MIT
// The event-loop thread, shutdown and the root POA.
#include "echo_servant.h"
#include "orb_runtime.h"
#include "support/stand_ins.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

ACE_THR_FUNC_RETURN threadResult(long value) {
    return reinterpret_cast<ACE_THR_FUNC_RETURN>(value);  // NOLINT(performance-no-int-to-ptr)
}

CORBA::ORB_ptr startedOrb() {
    EXPECT_EQ(OrbRuntime::initOrb(), 0);
    return OrbRuntime::getOrb();
}

// Runs runOrbLoop on a thread of the test's own, so its result can be read.
std::future<ACE_THR_FUNC_RETURN> runLoop(CORBA::ORB_ptr orb) {
    std::promise<void> entering;
    std::future<void> entered = entering.get_future();
    auto result = std::async(std::launch::async, [orb, &entering] {
        entering.set_value();
        return OrbRuntime::runOrbLoop(orb);
    });
    entered.wait();
    // run() must be under way before shutdown: it refuses a shut-down ORB.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return result;
}

TEST(OrbLoop, NilOrbIsRefusedEverywhere) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(OrbRuntime::startOrbThread(CORBA::ORB::_nil()), -1);
    EXPECT_EQ(OrbRuntime::runOrbLoop(nullptr), threadResult(-1));
    EXPECT_EQ(OrbRuntime::shutdownOrb(CORBA::ORB::_nil()), -1);
    const PortableServer::POA_var poa = OrbRuntime::getRootPoa(CORBA::ORB::_nil());
    EXPECT_TRUE(CORBA::is_nil(poa.in()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(OrbLoop, ShutdownEndsARunningLoop) {
    const CORBA::ORB_var orb = startedOrb();
    auto loop = runLoop(orb.in());
    EXPECT_EQ(loop.wait_for(0s), std::future_status::timeout) << "the loop returned unasked";
    EXPECT_EQ(OrbRuntime::shutdownOrb(orb.in()), 0);
    ASSERT_EQ(loop.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(loop.get(), threadResult(0));
}

TEST(OrbLoop, SpawnedThreadRunsTheLoopUntilShutdown) {
    const CORBA::ORB_var orb = startedOrb();
    ASSERT_EQ(OrbRuntime::startOrbThread(orb.in()), 0);
    const zortest::SpawnRecord spawn = zortest::lastSpawn();
    EXPECT_EQ(spawn.function, &OrbRuntime::runOrbLoop);
    EXPECT_EQ(spawn.argument, orb.in()) << "the thread borrows the caller's ORB pointer";
    EXPECT_EQ(spawn.flags, THR_DETACHED);
    EXPECT_EQ(spawn.priority, 0);
    EXPECT_EQ(spawn.stack, nullptr);
    EXPECT_EQ(spawn.stackSize, 0U);

    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(zortest::lastSpawn().ended) << "the loop returned unasked";
    EXPECT_EQ(OrbRuntime::shutdownOrb(orb.in()), 0);
    ASSERT_TRUE(zortest::waitForSpawnedExit());
    EXPECT_EQ(zortest::lastSpawn().result, threadResult(0));
}

// Makes the ORB call directly and returns the line that the library must
// write for what the ORB raised ("" if it raised nothing).
template <typename Call>
std::string diagnosticFor(Call call) {
    try {
        call();
    } catch (const CORBA::SystemException& ex) {
        return OrbPlatform::systemExceptionText(ex) + "\n";
    }
    return "";
}

// shutdownOrb's result and diagnostic line on an ORB in the given state.
void expectReportedShutdown(CORBA::ORB_ptr orb, const char* omniOrbText) {
    testing::internal::CaptureStderr();
    const int result = OrbRuntime::shutdownOrb(orb);
    const std::string written = testing::internal::GetCapturedStderr();
    const std::string expected = diagnosticFor([orb] { orb->shutdown(false); });
    EXPECT_EQ(result, expected.empty() ? 0 : -1);
    EXPECT_EQ(written, expected);
#if !defined(ZORCLIENT_ORB_TAO)
    EXPECT_EQ(written, omniOrbText);
#else
    static_cast<void>(omniOrbText);
#endif
}

TEST(OrbLoop, ShutdownOfAShutDownOrbIsReported) {
    const CORBA::ORB_var orb = startedOrb();
    auto loop = runLoop(orb.in());
    ASSERT_EQ(OrbRuntime::shutdownOrb(orb.in()), 0);
    loop.wait();
    testing::internal::CaptureStderr();
    EXPECT_EQ(OrbRuntime::runOrbLoop(orb.in()), threadResult(-1));
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, diagnosticFor([&orb] { orb->run(); }));
    EXPECT_NE(written, "");
    expectReportedShutdown(orb.in(),
                           "system exception, ID 'IDL:omg.org/CORBA/BAD_INV_ORDER:1.0'\n"
                           "minor code (0x4f4d0004), described as 'BAD_INV_ORDER_ORBHasShutdown', "
                           "completed = NO\n");
}

TEST(OrbLoop, ShutdownOfADestroyedOrbIsReported) {
    const CORBA::ORB_var orb = startedOrb();
    orb->destroy();
    EXPECT_THROW(CORBA::release(OrbRuntime::getRootPoa(orb.in())), CORBA::Exception);
    expectReportedShutdown(orb.in(),
                           "system exception, ID 'IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0'\n"
                           "minor code (0x4f4d0001), described as 'OBJECT_NOT_EXIST_NoMatch', "
                           "completed = NO\n");
}

// Holds a call that asks for "hold" until released.
class HoldingEcho : public zorexample::EchoServant {
public:
    char* echoString(const char* text) override {
        if (std::string(text) == "hold") {
            entered.set_value();
            released.wait();
        }
        return EchoServant::echoString(text);
    }
    std::promise<void> entered;
    std::shared_future<void> released;
};

TEST(OrbLoop, RootPoaServesAndShutdownDoesNotWaitForCalls) {
    const CORBA::ORB_var orb = startedOrb();
    const PortableServer::POA_var poa = OrbRuntime::getRootPoa(orb.in());
    ASSERT_FALSE(CORBA::is_nil(poa.in()));
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    auto loop = runLoop(orb.in());

    HoldingEcho servant;
    std::promise<void> release;
    servant.released = release.get_future().share();
    const PortableServer::ObjectId_var id = poa->activate_object(&servant);
    const CORBA::Object_var object = poa->id_to_reference(id.in());
    // Through the stringified reference, as a client elsewhere would see it.
    const CORBA::String_var ior = orb->object_to_string(object.in());
    const CORBA::Object_var again = orb->string_to_object(ior.in());
    const ZorExample::Echo_var echo = ZorExample::Echo::_narrow(again.in());
    ASSERT_FALSE(CORBA::is_nil(echo.in()));
    const CORBA::String_var reply = echo->echoString("over the loop");
    EXPECT_STREQ(reply.in(), "over the loop");

    auto held = std::async(std::launch::async,
                           [&echo] { return CORBA::String_var(echo->echoString("hold")); });
    servant.entered.get_future().wait();
    auto shutdown =
        std::async(std::launch::async, [&orb] { return OrbRuntime::shutdownOrb(orb.in()); });
    const bool returnedWhileHeld = shutdown.wait_for(10s) == std::future_status::ready;
    release.set_value();
    EXPECT_TRUE(returnedWhileHeld) << "shutdownOrb waited for a call in progress";
    EXPECT_EQ(shutdown.get(), 0);
    EXPECT_STREQ(held.get().in(), "hold");

    // The ORB may go only once its loop has left run(); omniORB finishes the
    // shutdown on a thread of its own, which destroy() waits for.
    EXPECT_EQ(loop.get(), threadResult(0));
    orb->destroy();
}

}  // namespace

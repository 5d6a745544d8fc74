// The event-loop thread, shutdown and the root POA.
#include "echo_servant.h"
#include "orb_runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace {

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
    EXPECT_EQ(OrbRuntime::runOrbLoop(nullptr),
              reinterpret_cast<ACE_THR_FUNC_RETURN>(-1));  // NOLINT(performance-no-int-to-ptr)
    EXPECT_EQ(OrbRuntime::shutdownOrb(CORBA::ORB::_nil()), -1);
    const PortableServer::POA_var poa = OrbRuntime::getRootPoa(CORBA::ORB::_nil());
    EXPECT_TRUE(CORBA::is_nil(poa.in()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(OrbLoop, ShutdownEndsARunningLoop) {
    const CORBA::ORB_var orb = startedOrb();
    auto loop = runLoop(orb.in());
    EXPECT_EQ(OrbRuntime::shutdownOrb(orb.in()), 0);
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(loop.get(), reinterpret_cast<ACE_THR_FUNC_RETURN>(0));
}

TEST(OrbLoop, SpawnedLoopEndsOnShutdown) {
    const CORBA::ORB_var orb = startedOrb();
    EXPECT_EQ(OrbRuntime::startOrbThread(orb.in()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(OrbRuntime::shutdownOrb(orb.in()), 0);
    // A loop that has ended leaves the ORB refusing a new one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            orb->work_pending();
        } catch (const CORBA::BAD_INV_ORDER&) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "the ORB did not shut down";
}

// Asks the ORB directly, as shutdownOrb does, and returns the line that
// shutdownOrb must write for what the ORB raised ("" if it raised nothing).
std::string diagnosticFor(CORBA::ORB_ptr orb) {
    try {
        orb->shutdown(false);
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
    const std::string expected = diagnosticFor(orb);
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
    expectReportedShutdown(orb.in(),
                           "system exception, ID 'IDL:omg.org/CORBA/BAD_INV_ORDER:1.0'\n"
                           "minor code (0x4f4d0004), described as 'BAD_INV_ORDER_ORBHasShutdown', "
                           "completed = NO\n");
}

TEST(OrbLoop, ShutdownOfADestroyedOrbIsReported) {
    const CORBA::ORB_var orb = startedOrb();
    orb->destroy();
    expectReportedShutdown(orb.in(),
                           "system exception, ID 'IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0'\n"
                           "minor code (0x4f4d0001), described as 'OBJECT_NOT_EXIST_NoMatch', "
                           "completed = NO\n");
}

TEST(OrbLoop, RootPoaServesAnActivatedServant) {
    const CORBA::ORB_var orb = startedOrb();
    const PortableServer::POA_var poa = OrbRuntime::getRootPoa(orb.in());
    ASSERT_FALSE(CORBA::is_nil(poa.in()));
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
    auto loop = runLoop(orb.in());

    zorexample::EchoServant servant;
    const PortableServer::ObjectId_var id = poa->activate_object(&servant);
    const CORBA::Object_var object = poa->id_to_reference(id.in());
    // Through the stringified reference, as a client elsewhere would see it.
    const CORBA::String_var ior = orb->object_to_string(object.in());
    const CORBA::Object_var again = orb->string_to_object(ior.in());
    const ZorExample::Echo_var echo = ZorExample::Echo::_narrow(again.in());
    ASSERT_FALSE(CORBA::is_nil(echo.in()));
    const CORBA::String_var reply = echo->echoString("over the loop");
    EXPECT_STREQ(reply.in(), "over the loop");

    poa->deactivate_object(id.in());
    EXPECT_EQ(OrbRuntime::shutdownOrb(orb.in()), 0);
    // The ORB may go only once its loop has left run(); omniORB finishes the
    // shutdown on a thread of its own, which destroy() waits for.
    EXPECT_EQ(loop.get(),
              reinterpret_cast<ACE_THR_FUNC_RETURN>(0));  // NOLINT(performance-no-int-to-ptr)
    orb->destroy();
}

}  // namespace

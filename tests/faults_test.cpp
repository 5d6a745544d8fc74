// SPDX-License-Identifier: MIT
// Faults of the naming service and bad input, through the shared object.
#include "support/naming_server.h"
#include "zorclient.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <new>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>

namespace {

using namespace std::string_literals;

bool holdsContext() {
    return !CORBA::is_nil(CosNaming::NamingContext_var(getNameService()));
}

bool resolves(const std::string& first, const std::string& second, const std::string& third) {
    return !CORBA::is_nil(CORBA::Object_var(createObject(first, second, third)));
}

void bindABC(const zortest::NamingServer& server) {
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    zortest::bindPath(root.in(), "a", "b", "c", root.in());
}

TEST(Faults, NamingServerKilledAndRestarted) {
    zortest::NamingServer server;
    bindABC(server);
    initCorba(server.host(), 0);
    ASSERT_TRUE(resolves("a", "b", "c"));

    const CosNaming::NamingContext_var held = getNameService();
    server.stop(SIGKILL);
    EXPECT_FALSE(resolves("a", "b", "c"));
    EXPECT_EQ(CosNaming::NamingContext_var(getNameService()).in(), held.in());

    server.start();  // same address, same data
    EXPECT_TRUE(resolves("a", "b", "c"));
}

TEST(Faults, NothingListeningLeavesTheContextAsItWas) {
    initCorba(zortest::loopbackHost(1), 0);
    EXPECT_FALSE(holdsContext());

    const zortest::NamingServer server;
    bindABC(server);
    initCorba(server.host(), 0);
    const CosNaming::NamingContext_var held = getNameService();
    initCorba(zortest::loopbackHost(1), 0);
    EXPECT_EQ(CosNaming::NamingContext_var(getNameService()).in(), held.in());
    EXPECT_TRUE(resolves("a", "b", "c"));
}

TEST(Faults, BoundedCallsGiveNilAndGoThroughAgainLater) {
    setenv("ZORCLIENT_TIMEOUT_MS", "500", 1);
    {
        const zortest::SilentServer silent(zortest::loopbackHost(1));
        initCorba(zortest::loopbackHost(1), 0);
        EXPECT_FALSE(holdsContext());
    }
    zortest::NamingServer server;
    bindABC(server);
    initCorba(server.host(), 0);
    ASSERT_TRUE(resolves("a", "b", "c"));
    // TAO 2.2.1 stalls on omniNames' reply to this in GIOP 1.1 fragments.
    EXPECT_FALSE(resolves(std::string(1 << 20, 'n'), "b", "c"));

    const CosNaming::NamingContext_var held = getNameService();
    server.pause();
    EXPECT_FALSE(resolves("a", "b", "c"));
    initCorba(server.host(), 0);
    EXPECT_EQ(CosNaming::NamingContext_var(getNameService()).in(), held.in());
    server.resume();
    // TAO may first report the connection it gave up on.
    EXPECT_TRUE(resolves("a", "b", "c") || resolves("a", "b", "c"));
}

// Calls of another module on the shared ORB, and on references the library
// hands out, wait as long as they always did.
TEST(Faults, TheBoundStaysOnTheLibrarysOwnReferences) {
    setenv("ZORCLIENT_TIMEOUT_MS", "200", 1);
    zortest::NamingServer server;
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var theirs = zortest::rootContext(orb.in(), server.host());
    const CORBA::Object_var marker = zortest::bindMarker(theirs.in(), "a", "b", "c");
    initCorba(server.host(), 0);
    const CORBA::Object_var handedOut = createObject("a", "b", "c");
    ASSERT_FALSE(CORBA::is_nil(handedOut.in()));

    server.pause();
    auto lookup = std::async(std::launch::async, [&theirs] {
        CosNaming::Name name;
        name.length(3);
        name[0].id = "a";
        name[1].id = "b";
        name[2].id = "c";
        return CORBA::Object_var(theirs->resolve(name));
    });
    auto probe =
        std::async(std::launch::async, [&handedOut] { return handedOut->_non_existent(); });
    // Far past the bound: calls under it would have failed by now.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(resolves("a", "b", "c"));
    server.resume();
    EXPECT_TRUE(lookup.get()->_is_equivalent(marker.in()));
    EXPECT_FALSE(probe.get());
}

// Runs `call` on a thread of its own, cancels it once `blocked` has returned,
// and tells whether the thread ended as cancelled.
bool endsCancelled(std::function<void()> call, const std::function<void()>& blocked) {
    pthread_t thread{};
    const auto body = [](void* fn) -> void* {
        (*static_cast<std::function<void()>*>(fn))();
        return nullptr;
    };
    if (pthread_create(&thread, nullptr, body, &call) != 0) {
        return false;
    }
    blocked();
    pthread_cancel(thread);
    void* result = nullptr;
    pthread_join(thread, &result);
    return result == PTHREAD_CANCELED;
}

// On TAO the cancellation waits for the call's time bound; see cancellationSafe.
TEST(Faults, CancelledCallsUnwindAndTheLibraryGoesOn) {
    setenv("ZORCLIENT_TIMEOUT_MS", "1000", 1);
    {
        zortest::SilentServer silent(zortest::loopbackHost(1));
        EXPECT_TRUE(endsCancelled([] { initCorba(zortest::loopbackHost(1), 0); },
                                  [&silent] { silent.waitForRequests(1); }));
    }
    zortest::NamingServer server;
    bindABC(server);
    initCorba(server.host(), 0);
    ASSERT_TRUE(resolves("a", "b", "c"));

    server.pause();
    // Cancellation is deferred: it lands inside the lookup, whenever it comes.
    EXPECT_TRUE(endsCancelled([] { resolves("a", "b", "c"); }, [] {}));
    server.resume();
    EXPECT_TRUE(resolves("a", "b", "c") || resolves("a", "b", "c"));
}

// With the trace on, each failed call says which it was and why, on one line.
TEST(Faults, TraceTellsWhyACallGaveNil) {
    setenv("ZORCLIENT_TRACE", "1", 1);
    setenv("ZORCLIENT_TIMEOUT_MS", "300", 1);
    const zortest::SilentServer silent(zortest::loopbackHost(1));
    const zortest::NamingServer server;
    testing::internal::CaptureStderr();
    initCorba(zortest::loopbackHost(1), 0);
    EXPECT_FALSE(resolves("a", "b", "c"));
    initCorba(server.host(), 0);
    EXPECT_FALSE(resolves("a", "b\n", "missing"));
    const std::string lines = testing::internal::GetCapturedStderr();

    const std::string silentHost = zortest::loopbackHost(1);
    const std::string expected[] = {
        "zorclient: connecting to " + silentHost +
            ": system exception, ID 'IDL:omg.org/CORBA/TIMEOUT:1.0'",
        "zorclient: resolving a/b/c: no naming context is held",
        "zorclient: resolving a/b?/missing: user exception, ID "
        "'IDL:omg.org/CosNaming/NamingContext/NotFound:1.0'",
    };
    std::istringstream in(lines);
    std::string line;
    for (const std::string& start : expected) {
        ASSERT_TRUE(std::getline(in, line)) << lines;
        EXPECT_EQ(line.rfind(start, 0), 0U) << line;
    }
    EXPECT_FALSE(std::getline(in, line)) << lines;
}

// A host's stream buffer that fails every write, or throws from it.
class FailingBuffer : public std::streambuf {
public:
    explicit FailingBuffer(bool throws) : throws_(throws) {}

protected:
    std::streamsize xsputn(const char* /*text*/, std::streamsize /*count*/) override {
        return fail();
    }
    int_type overflow(int_type /*c*/) override { return static_cast<int_type>(fail()); }

private:
    std::streamsize fail() const {
        if (throws_) {
            throw std::bad_alloc();
        }
        return traits_type::eof();
    }
    bool throws_;
};

// A host's stream buffer whose writes take a while and can be cancelled in,
// as writes to a pipe can.
class SlowBuffer : public std::streambuf {
public:
    std::atomic<bool> entered{false};
    std::string written;

protected:
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a cancellation point
        written.append(text, static_cast<std::size_t>(count));
        return count;
    }
    int_type overflow(int_type c) override {
        written += traits_type::to_char_type(c);
        return c;
    }
};

// A trace line never throws out of an entry point and never leaves the
// host's stream failed, even with its exceptions enabled.
TEST(Faults, TraceNeverThrowsNorBreaksTheStream) {
    setenv("ZORCLIENT_TRACE", "1", 1);
    std::streambuf* const original = std::cerr.rdbuf();
    std::cerr.exceptions(std::ios::badbit | std::ios::failbit);

    initCorba(zortest::loopbackHost(1), 0);  // the ORB, and so the settings; nothing listens

    SlowBuffer slow;
    std::cerr.rdbuf(&slow);
    EXPECT_TRUE(endsCancelled(
        [] {
            resolves("a", "b", "c");
            pthread_testcancel();
        },
        [&slow] {
            for (int i = 0; i < 10000 && !slow.entered; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }));
    EXPECT_EQ(slow.written, "zorclient: resolving a/b/c: no naming context is held\n");
    EXPECT_TRUE(std::cerr.good());

    const zortest::NamingServer server;
    for (const bool throws : {false, true}) {
        FailingBuffer failing(throws);
        std::cerr.rdbuf(&failing);
        EXPECT_NO_THROW(initCorba(zortest::loopbackHost(1), 0)) << throws;  // nothing listens
        EXPECT_NO_THROW(initCorba(server.host(), 0)) << throws;
        EXPECT_NO_THROW(resolves("a", "b", "missing")) << throws;
        EXPECT_TRUE(std::cerr.good()) << throws;
    }
    EXPECT_TRUE(holdsContext());
    std::cerr.rdbuf(original);
    std::cerr.exceptions(std::ios::goodbit);
}

TEST(Faults, TestProcessesResolveNoNames) {
    addrinfo* found = nullptr;
    EXPECT_EQ(getaddrinfo("example.invalid", "9999", nullptr, &found), EAI_NONAME);
    ASSERT_EQ(getaddrinfo("127.0.0.1", "9999", nullptr, &found), 0);
    freeaddrinfo(found);
}

// Each host either fails, leaving the held context, or reaches the same
// service (TAO reads some of these texts leniently): lookups go on as before.
TEST(BadInput, HostsGiveNilOrAContextAndNothingBreaks) {
    const zortest::NamingServer server;
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    const CORBA::Object_var marker = zortest::bindMarker(root.in(), "a", "b", "c");
    initCorba(server.host(), 0);

    const std::string& good = server.host();
    const std::string hosts[] = {
        "",
        good + "\0junk"s,
        "\0"s + good,
        std::string(1 << 20, 'h'),
        good + std::string(1 << 20, '1'),
        "h\xc3\xa9te.example",
        "\xff\xfe\x80",
        "host\r\n\t\x01",
        good + ":1234",
        good + "/x",
        good + "@x",
        good + ",x",
        good + "#x",
        "[::1",
        ":",
        "@",
    };
    for (const std::string& host : hosts) {
        EXPECT_NO_THROW(initCorba(host, 0)) << host.substr(0, 40);
        const CORBA::Object_var found = createObject("a", "b", "c");
        EXPECT_TRUE(!CORBA::is_nil(found.in()) && found->_is_equivalent(marker.in()))
            << host.substr(0, 40);
    }
}

TEST(BadInput, NamesGiveNilOrAReferenceAndNothingBreaks) {
    const zortest::NamingServer server;
    {
        const CORBA::ORB_var orb = zortest::processOrb();
        const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
        zortest::bindPath(root.in(), "a", "b", "c", root.in());
        zortest::bindPath(root.in(), "a/b", ".", "\xc3\xa9t\xc3\xa9", root.in());
    }
    // TAO 2.2.1 stalls on omniNames' fragmented reply to a 1 MiB id; the bound ends that.
    setenv("ZORCLIENT_TIMEOUT_MS", "2000", 1);
    initCorba(server.host(), 0);
    const std::string huge(1 << 20, 'n');
    const struct {
        std::string first, second, third;
        bool bound;
    } names[] = {
        {"", "", "", false},         {"a", "b", "c\0"s, false},
        {"a\0b"s, "b", "c", false},  {huge, "b", "c", false},
        {"a", "b", huge, false},     {"a/b", ".", "\xc3\xa9t\xc3\xa9", true},
        {"a/b", ".", "\xff", false}, {"a", "b", "c\n", false},
    };
    for (const auto& name : names) {
        CORBA::Object_var found;
        EXPECT_NO_THROW(found = createObject(name.first, name.second, name.third));
        EXPECT_EQ(!CORBA::is_nil(found.in()), name.bound) << name.first.substr(0, 20);
    }
    EXPECT_TRUE(resolves("a", "b", "c"));
}

}  // namespace

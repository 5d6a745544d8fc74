// SPDX-License-Identifier: MIT
// Replicas of one naming service named in one host text: a replica that
// dies, or is cut off as after a pulled cable, is passed over for another.
#include "support/cut_off.h"
#include "support/naming_server.h"
#include "support/private_hosts.h"
#include "zorclient.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBoundMs = 1500;
// What the library promises, with a slack a loaded machine cannot break: a
// call ends within the bound, and a replica that does not answer costs one
// attempt's share of it (with two replicas, a third of the bound).
constexpr auto kShare = std::chrono::milliseconds(kBoundMs / 3);
constexpr auto kSlack = std::chrono::milliseconds(500);
constexpr auto kBoundAndMargin = std::chrono::milliseconds(kBoundMs) + kSlack;

// Two replicas with a/b/c bound on each to a marker of its own, so that a
// lookup tells which replica answered.
struct TwoReplicas {
    zortest::NamingServer a{0};
    zortest::NamingServer b{1};
    CORBA::Object_var markerA;
    CORBA::Object_var markerB;

    TwoReplicas() {
        const CORBA::ORB_var orb = zortest::processOrb();
        const CosNaming::NamingContext_var rootA = zortest::rootContext(orb.in(), a.host());
        const CosNaming::NamingContext_var rootB = zortest::rootContext(orb.in(), b.host());
        markerA = zortest::bindMarker(rootA.in(), "a", "b", "c");
        markerB = zortest::bindMarker(rootB.in(), "a", "b", "c");
    }

    // Both, in one host text, A first.
    [[nodiscard]] std::string hosts() const { return a.host() + ":9999,iiop:1.1@" + b.host(); }
};

bool holdsContext() {
    return !CORBA::is_nil(CosNaming::NamingContext_var(getNameService()).in());
}

// The replica a/b/c resolved through: 'A', 'B', or 0 for a nil lookup.
char lookUp(const TwoReplicas& replicas) {
    const CORBA::Object_var found = createObject("a", "b", "c");
    if (CORBA::is_nil(found.in())) {
        return 0;
    }
    return found->_is_equivalent(replicas.markerA.in())   ? 'A'
           : found->_is_equivalent(replicas.markerB.in()) ? 'B'
                                                          : '?';
}

Clock::duration timed(const std::function<void()>& call) {
    const auto start = Clock::now();
    call();
    return Clock::now() - start;
}

#define SKIP_UNLESS_FAULT_TOLERANT_PAIR()                                                \
    if (const std::string why = zortest::faultTolerantPairUnavailable(); !why.empty()) { \
        GTEST_SKIP() << why;                                                             \
    }

#define SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF()                                    \
    if (const std::string why = zortest::cutOffUnavailable(); !why.empty()) { \
        GTEST_SKIP() << why;                                                  \
    }

// Without a bound too: the connection to a killed replica fails at once.
// Lookups from `threads` threads for 300 ms, as in a busy process, which
// then holds several connections to the replica they went to; how many of
// them did not go as `wentRight` says they should.
int busy(int threads, const std::function<bool()>& wentRight) {
    std::vector<std::thread> pool;
    std::atomic<int> wrong{0};
    const auto until = Clock::now() + std::chrono::milliseconds(300);
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&] {
            while (Clock::now() < until) {
                wrong += wentRight() ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : pool) {
        thread.join();
    }
    return wrong;
}

std::string afterThreads(const testing::TestParamInfo<int>& threads) {
    return "after_" + std::to_string(threads.param) + "_threads";
}

// The held context after lookups from this many threads: a busy process
// holds several connections to A, each of which fails once A is gone.
class Takeover : public testing::TestWithParam<int> {
protected:
    void busy(const TwoReplicas& replicas) const {
        ASSERT_EQ(::busy(GetParam(), [&] { return lookUp(replicas) == 'A'; }), 0);
    }
};

INSTANTIATE_TEST_SUITE_P(Threads, Takeover, testing::Values(1, 8), afterThreads);

TEST_P(Takeover, AKilledReplicaIsPassedOverWithoutANilLookup) {
    TwoReplicas replicas;
    initCorba(replicas.hosts(), 0);
    busy(replicas);
    replicas.a.stop(SIGKILL);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lookUp(replicas), 'B') << "lookup " << i;
    }
}

// Host texts that would reach an address nobody named, or that the ORB
// refuses with no more than a minor code, are refused before anything is
// contacted, with what to write instead.
TEST(Replicas, HostTextsWrittenWronglyAreRefusedWithAReason) {
    setenv("ZORCLIENT_TRACE", "1", 1);
    TwoReplicas replicas;
    initCorba(replicas.hosts(), 0);
    const std::string a = replicas.a.host() + ":9999";
    const std::string b = replicas.b.host();
    const std::string noAddress = "an entry of the host text names no address";
    const std::pair<std::string, std::string> refused[] = {
        // After a trailing comma the appended ":9999" reads as a host.
        {a + ",", noAddress},
        {"," + b, noAddress},
        {a + ",,iiop:1.1@" + b, noAddress},
        {a + ",iiop:1.1@", noAddress},
        {a + ",iiop:", noAddress},
        {a + ",:", noAddress},
        {a + ",:1.1@", noAddress},
        {a + ",IIOP:1.1@", noAddress},
        {"ns1,ns2", "an entry after the first names no protocol; write 'ns1:9999,iiop:1.1@ns2'"},
        {a + "," + b,
         "an entry after the first names no protocol; write '" + a + ",iiop:1.1@" + b + "'"},
        {a + ",IIOP:1.2@" + b, "the ORB reads protocols in lower case only; write 'iiop:'"},
        {b + ":9999", "the library adds the port (:9999) itself; write '" + b + "'"},
        {"IIOP:1.2@" + b,
         "the library writes the protocol (iiop:1.1@) itself; write the host alone"},
        {"iiop:1.1@" + a + ",iiop:1.1@" + b,
         "the library writes the protocol (iiop:1.1@) before the first entry; write it without"},
    };
    for (const auto& [host, reason] : refused) {
        testing::internal::CaptureStderr();
        initCorba(host, 0);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said, "zorclient: connecting to " + host + ": " + reason + "\n");
        EXPECT_EQ(lookUp(replicas), 'A') << host;  // the context held before
    }
}

// With A paused past two shares and B gone, the third attempt on A still
// has its share, and A answers within the bound; with both gone, the trace
// names each attempt.
TEST(Replicas, AReplicaThatAnswersWithinTheBoundIsWaitedFor) {
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    setenv("ZORCLIENT_TRACE", "1", 1);
    TwoReplicas replicas;
    initCorba(replicas.hosts(), 0);
    ASSERT_EQ(lookUp(replicas), 'A');
    replicas.b.stop(SIGKILL);
    char replica = 0;
    EXPECT_LT(timed([&] {
                  replicas.a.pauseFor(std::chrono::milliseconds(1200));
                  replica = lookUp(replicas);
              }),
              kBoundAndMargin);
    EXPECT_EQ(replica, 'A');
    replicas.a.stop(SIGKILL);
    testing::internal::CaptureStderr();
    EXPECT_EQ(lookUp(replicas), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("zorclient: resolving a/b/c: ", 0), 0U) << said;
    for (const std::string& host : {replicas.a.host(), replicas.b.host()}) {
        EXPECT_NE(said.find(host + ": TRANSIENT ("), std::string::npos) << said;
    }
}

// A TRANSIENT that A itself raises, as it cannot reach a context bound in it
// on a server that is gone, is A's answer: lookups stay with A.
TEST(Replicas, AFailureTheReplicaReportsLeavesItInUse) {
    if (std::getenv("ZORCLIENT_TEST_TAO_COSNAMING") != nullptr) {
        GTEST_SKIP() << "tao_cosnaming does not answer while it retries the server that is gone: "
                        "its replica times out instead";
    }
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    setenv("ZORCLIENT_TRACE", "1", 1);
    TwoReplicas replicas;
    {
        const zortest::NamingServer gone(2);
        const CORBA::ORB_var orb = zortest::processOrb();
        const CosNaming::NamingContext_var rootA =
            zortest::rootContext(orb.in(), replicas.a.host());
        const CosNaming::NamingContext_var elsewhere = zortest::rootContext(orb.in(), gone.host());
        rootA->bind_context(zortest::singleName("x"), elsewhere.in());
    }
    initCorba(replicas.hosts(), 0);
    ASSERT_EQ(lookUp(replicas), 'A');
    EXPECT_TRUE(CORBA::is_nil(CORBA::Object_var(createObject("x", "b", "c")).in()));
    EXPECT_EQ(lookUp(replicas), 'A');
}

TEST_P(Takeover, ACutOffReplicaIsPassedOverWithinTheBound) {
    SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    TwoReplicas replicas;
    initCorba(replicas.hosts(), 0);
    // Lookups under way when A is cut off: they time out there together, and
    // A's reference is left once, never moved back to A by another of them.
    std::atomic<bool> stop{false};
    std::atomic<int> nil{0};
    std::vector<std::thread> lookups;
    for (int i = 0; i < GetParam(); ++i) {
        lookups.emplace_back([&] {
            while (!stop) {
                nil += lookUp(replicas) == 0 ? 1 : 0;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    {
        const zortest::CutOff cut(replicas.a.host());
        std::this_thread::sleep_for(std::chrono::milliseconds(kBoundMs));
        stop = true;
        for (std::thread& lookup : lookups) {
            lookup.join();
        }
        EXPECT_EQ(nil, 0) << "lookups under way when A was cut off";
        for (int i = 0; i < 3; ++i) {
            char replica = 0;
            EXPECT_LT(timed([&] { replica = lookUp(replicas); }), kSlack) << i;
            EXPECT_EQ(replica, 'B') << "lookup " << i;
        }
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(lookUp(replicas), 0) << "lookup " << i << " once A is back";
    }
}

// A cut-off replica costs its share once: the connection goes on to B after
// it, and the lookups after it start with B.
TEST(Replicas, ConnectingWhileAReplicaIsCutOffHoldsAContextThatResolves) {
    SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    TwoReplicas replicas;
    const zortest::CutOff cut(replicas.a.host());
    EXPECT_LT(timed([&] { initCorba(replicas.hosts(), 0); }), kShare + kSlack);
    ASSERT_TRUE(holdsContext());
    for (int i = 0; i < 3; ++i) {
        char replica = 0;
        EXPECT_LT(timed([&] { replica = lookUp(replicas); }), kSlack) << i;
        EXPECT_EQ(replica, 'B') << "lookup " << i;
    }
}

// A name the resolver never answers for costs the connection no more than
// the bound: the context held before stays, and the trace says why.
TEST(Replicas, ANameTheResolverNeverAnswersIsGivenUpWithinTheBound) {
    SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    const std::string resolver = zortest::loopbackHost(3);
    const zortest::PrivateHosts files("unused.zorclient.test", {}, resolver);
    if (!files.why().empty()) {
        GTEST_SKIP() << files.why();
    }
    const zortest::CutOff silent(resolver);
    setenv("ZORCLIENT_TIMEOUT_MS", "1000", 1);
    setenv("ZORCLIENT_TRACE", "1", 1);
    const zortest::NamingServer server;
    initCorba(server.host(), 0);
    const CosNaming::NamingContext_var before = getNameService();
    ASSERT_FALSE(CORBA::is_nil(before.in()));
    testing::internal::CaptureStderr();
    EXPECT_LT(timed([] { initCorba("silent.zorclient.test", 0); }),
              std::chrono::milliseconds(1000) + kSlack);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CosNaming::NamingContext_var(getNameService()).in(), before.in());
    EXPECT_EQ(said,
              "zorclient: connecting to silent.zorclient.test: the name silent.zorclient.test "
              "could not be resolved in time (ZORCLIENT_TIMEOUT_MS=1000)\n");
}

// The context the host is handed keeps the whole bound for the host's own
// calls: only the library's lookups divide it among the replicas.
TEST(Replicas, TheHostsOwnCallsOnTheHeldContextHaveTheWholeBound) {
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    TwoReplicas replicas;
    initCorba(replicas.hosts(), 0);
    const CosNaming::NamingContext_var held = getNameService();
    ASSERT_FALSE(CORBA::is_nil(held.in()));
    replicas.a.pauseFor(std::chrono::milliseconds(kBoundMs / 2 + 50));
    CORBA::Object_var found;
    EXPECT_NO_THROW(found = held->resolve(zorexample::threePartName("a", "b", "c")));
    EXPECT_TRUE(!CORBA::is_nil(found.in()) && found->_is_equivalent(replicas.markerA.in()));
}

// Without a bound, connecting to a cut-off host waits for the kernel to give
// up (minutes): the host process is still waiting when it is stopped.
TEST(Replicas, WithoutABoundTheOnlyServerCutOffIsWaitedFor) {
    SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    const zortest::NamingServer server;
    const zortest::CutOff cut(server.host());
    const pid_t pid = fork();
    if (pid == 0) {
        unsetenv("ZORCLIENT_TIMEOUT_MS");
        execl(ZOR_RESOLVE_PATH, ZOR_RESOLVE_PATH, "--timeout-ms", "0", server.host().c_str(), "a",
              "b", "c", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));  // twice the bound used above
    int status = 0;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    EXPECT_EQ(ended, 0) << "zor-resolve ended without a bound, status " << status;
}

// The tool takes the same host text and tells the truth about it.
TEST(Replicas, ZorResolveReachesAnAnsweringReplica) {
    SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    TwoReplicas replicas;
    const auto status = [&](const std::string& name) {
        const std::string command = std::string(ZOR_RESOLVE_PATH) + " --timeout-ms " +
                                    std::to_string(kBoundMs) + " " + replicas.hosts() + " a b " +
                                    name + " >/dev/null 2>&1";
        const int result = std::system(command.c_str());  // NOLINT(cert-env33-c): our own tool
        return WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    };
    const zortest::CutOff cutA(replicas.a.host());
    EXPECT_EQ(status("c"), 0);
    EXPECT_EQ(status("missing"), 1);
    const zortest::CutOff cutB(replicas.b.host());
    EXPECT_EQ(status("c"), 3);
}

// One host name for both replicas, as clusters name theirs: every address
// it resolves to counts as a replica. Whichever answers first is killed or
// cut off, once the context is held and again before a fresh connection.
class NameWithTwoAddresses : public testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(FirstAway, NameWithTwoAddresses, testing::Values("killed", "cut_off"),
                         [](const testing::TestParamInfo<const char*>& away) {
                             return std::string(away.param);
                         });

TEST_P(NameWithTwoAddresses, IsPassedOverLikeReplicasInTheHostText) {
    const bool cutOff = std::string(GetParam()) == "cut_off";
    if (cutOff) {
        SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    }
    const std::string name = "replicas.zorclient.test";
    const zortest::PrivateHosts hosts(name, {zortest::loopbackHost(0), zortest::loopbackHost(1)});
    if (!hosts.why().empty()) {
        GTEST_SKIP() << hosts.why();
    }
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    TwoReplicas replicas;
    initCorba(name, 0);
    const char first = lookUp(replicas);
    ASSERT_TRUE(first == 'A' || first == 'B');
    zortest::NamingServer& away = first == 'A' ? replicas.a : replicas.b;
    const char other = first == 'A' ? 'B' : 'A';
    std::optional<zortest::CutOff> cut;
    if (cutOff) {
        cut.emplace(away.host());
    } else {
        away.stop(SIGKILL);
    }
    char replica = 0;
    EXPECT_LT(timed([&] { replica = lookUp(replicas); }), kBoundAndMargin);
    EXPECT_EQ(replica, other) << "once the context is held";
    const CosNaming::NamingContext_var before = getNameService();
    EXPECT_LT(timed([&] { initCorba(name, 0); }), kBoundAndMargin);
    EXPECT_NE(CosNaming::NamingContext_var(getNameService()).in(), before.in())
        << "a fresh connection holds a context of its own";
    EXPECT_LT(timed([&] { replica = lookUp(replicas); }), kBoundAndMargin);
    EXPECT_EQ(replica, other) << "after a fresh connection";
}

// Debian's own hosts file gives localhost 127.0.0.1 and ::1: one server,
// which behaves as its reachable address does, within the bound, on both
// ORB builds (an ORB build without IPv6 is never given ::1). The server
// listens on 127.0.0.1 alone, in the test's own network namespace.
TEST(Replicas, ANameWithOneAddressOfEachFamilyIsOneServer) {
    SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    const zortest::PrivateHosts hosts("localhost", {"127.0.0.1", "::1"});
    if (!hosts.why().empty()) {
        GTEST_SKIP() << hosts.why();
    }
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    zortest::NamingServer server("127.0.0.1");
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    const CORBA::Object_var marker = zortest::bindMarker(root.in(), "a", "b", "c");
    const auto found = [&] {
        const CORBA::Object_var object = createObject("a", "b", "c");
        return !CORBA::is_nil(object.in()) && object->_is_equivalent(marker.in());
    };
    EXPECT_LT(timed([&] {
                  server.pauseFor(std::chrono::milliseconds(700));
                  initCorba("localhost", 0);
              }),
              kBoundAndMargin);
    ASSERT_TRUE(holdsContext()) << "connecting while the server is paused for 700 ms";
    bool answered = false;
    EXPECT_LT(timed([&] {
                  server.pauseFor(std::chrono::milliseconds(1200));
                  answered = found();
              }),
              kBoundAndMargin);
    EXPECT_TRUE(answered) << "a lookup while the server is paused for 1200 ms";
}

// TAO's fault-tolerant pair as deployments run it, with a/b/c bound through
// the primary. The pair answers the URL with a forward to the pair's own
// reference, so this goes through the ORB's handling of forwards too.
struct MarkedPair {
    zortest::FaultTolerantPair pair;
    CORBA::Object_var marker;

    MarkedPair() {
        const CORBA::ORB_var orb = zortest::processOrb();
        const CosNaming::NamingContext_var root =
            zortest::rootContext(orb.in(), pair.primary.host());
        marker = zortest::bindMarker(root.in(), "a", "b", "c");
        knownTo(pair.backup.host(), "a", "b", "c");
    }

    // The pair shares its store through files that each server reloads when
    // it sees them change, which it may see only a second later: waits until
    // `host` itself knows the name, so that only the library is tested.
    static void knownTo(const std::string& host, const char* first, const char* second,
                        const char* third) {
        const CORBA::ORB_var orb = zortest::processOrb();
        const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), host);
        const auto until = Clock::now() + std::chrono::seconds(5);
        for (bool known = false; !known && Clock::now() < until;) {
            try {
                CORBA::Object_var(root->resolve(zorexample::threePartName(first, second, third)));
                known = true;
            } catch (const CosNaming::NamingContext::NotFound&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
    }

    [[nodiscard]] bool found() const {
        const CORBA::Object_var object = createObject("a", "b", "c");
        return !CORBA::is_nil(object.in()) && object->_is_equivalent(marker.in());
    }
};

class FaultTolerantTakeover : public testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Threads, FaultTolerantTakeover, testing::Values(1, 8), afterThreads);

TEST_P(FaultTolerantTakeover, AKilledPrimaryCostsNoLookup) {
    SKIP_UNLESS_FAULT_TOLERANT_PAIR();
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    MarkedPair marked;
    initCorba(marked.pair.hosts(), 0);
    ASSERT_EQ(busy(GetParam(), [&] { return marked.found(); }), 0);
    marked.pair.primary.stop(SIGKILL);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(marked.found()) << "lookup " << i;
    }
}

TEST_P(FaultTolerantTakeover, ACutOffPrimaryIsPassedOverWithinTheBound) {
    SKIP_UNLESS_FAULT_TOLERANT_PAIR();
    SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    MarkedPair marked;
    initCorba(marked.pair.hosts(), 0);
    ASSERT_EQ(busy(GetParam(), [&] { return marked.found(); }), 0);
    const zortest::CutOff cut(marked.pair.primary.host());
    for (int i = 0; i < 3; ++i) {
        bool found = false;
        EXPECT_LT(timed([&] { found = marked.found(); }), kBoundAndMargin) << i;
        EXPECT_TRUE(found) << "lookup " << i;
    }
}

TEST(FaultTolerantPair, NamesBoundThroughEitherServerAreFound) {
    SKIP_UNLESS_FAULT_TOLERANT_PAIR();
    MarkedPair marked;
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var backupRoot =
        zortest::rootContext(orb.in(), marked.pair.backup.host());
    const CORBA::Object_var viaBackup = zortest::bindMarker(backupRoot.in(), "x", "y", "z");
    MarkedPair::knownTo(marked.pair.primary.host(), "x", "y", "z");
    initCorba(marked.pair.hosts(), 0);
    EXPECT_TRUE(marked.found());
    const CORBA::Object_var found = createObject("x", "y", "z");
    EXPECT_TRUE(!CORBA::is_nil(found.in()) && found->_is_equivalent(viaBackup.in()));
}

// A fresh connection while the primary is gone, or cut off.
class FaultTolerantConnection : public testing::TestWithParam<const char*> {};

INSTANTIATE_TEST_SUITE_P(PrimaryAway, FaultTolerantConnection, testing::Values("killed", "cut_off"),
                         [](const testing::TestParamInfo<const char*>& away) {
                             return std::string(away.param);
                         });

TEST_P(FaultTolerantConnection, HoldsAContextThatResolves) {
    SKIP_UNLESS_FAULT_TOLERANT_PAIR();
    const bool cutOff = std::string(GetParam()) == "cut_off";
    if (cutOff) {
        SKIP_UNLESS_HOSTS_CAN_BE_CUT_OFF();
    }
    setenv("ZORCLIENT_TIMEOUT_MS", std::to_string(kBoundMs).c_str(), 1);
    MarkedPair marked;
    std::optional<zortest::CutOff> cut;
    if (cutOff) {
        cut.emplace(marked.pair.primary.host());
    } else {
        marked.pair.primary.stop(SIGKILL);
    }
    EXPECT_LT(timed([&] { initCorba(marked.pair.hosts(), 0); }), kBoundAndMargin);
    ASSERT_TRUE(holdsContext());
    bool found = false;
    EXPECT_LT(timed([&] { found = marked.found(); }), kBoundAndMargin);
    EXPECT_TRUE(found);
}

}  // namespace

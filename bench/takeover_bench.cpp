// SPDX-License-Identifier: MIT
// How long lookups through zorclient take to go on through a second replica
// of the naming service once the first one is gone. One measurement per
// process, since the held context stays for the process's life.
//
//   zorclient_takeover HOST_A HOST_B THREADS killed PID   kills PID, the server on HOST_A
//   zorclient_takeover HOST_A HOST_B THREADS cut          drops HOST_A's packets (root)
//   zorclient_takeover HOST_A HOST_B THREADS connect      times a fresh initCorba alone
//   zorclient_takeover HOST_A HOST_B THREADS healthy N    N lookups, both servers up
//   zorclient_takeover HOST_A HOST_B THREADS slow RTT TEXT  through delaying proxies
//
// a/b/c is bound on both; the held context names both, A first, or with
// ZORCLIENT_TAKEOVER_NAME set, is that host name, which resolves to both. Once lookups
// from THREADS threads have gone through A for 300 ms (as in a busy process,
// which holds several connections to A), A is killed or cut off, and lookups go on until one
// succeeds (30 s at most). Prints the milliseconds from the kill or cut to
// that lookup's return, and how many lookups gave nil before it. "connect"
// prints the milliseconds a second initCorba took (through the name, once the
// ORB holds a connection to A) and 1 if a lookup then gave nil; "healthy" makes
// N lookups from THREADS threads and prints how many gave nil, for the
// caller to count the requests that reached B meanwhile. "slow" puts A and B
// behind proxies that hold data RTT/2 ms each way, 127.0.8.4 and [::1] for A,
// 127.0.8.5 for B, and times a fresh initCorba on TEXT and its first lookup;
// then 40 lookups from THREADS threads. It prints those milliseconds, the
// requests made beyond one per call, the lookups, and the nil lookups.
#include "bind_path.h"
#include "orb_platform.h"
#include "support/cut_off.h"
#include "support/delaying_proxy.h"
#include "zorclient.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void bindOn(CORBA::ORB_ptr orb, const std::string& host) {
    const CORBA::Object_var object =
        orb->string_to_object(("corbaloc:iiop:1.1@" + host + ":9999/NameService").c_str());
    const CosNaming::NamingContext_var root = CosNaming::NamingContext::_narrow(object.in());
    zorexample::bindPath(root.in(), "a", "b", "c", root.in());
}

bool resolves() {
    return !CORBA::is_nil(CORBA::Object_var(createObject("a", "b", "c")).in());
}

void busy(int threadCount) {
    std::vector<std::thread> threads;
    const auto until = Clock::now() + std::chrono::milliseconds(300);
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([until] {
            while (Clock::now() < until) {
                resolves();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// The "slow" mode, once a/b/c is bound on A and B.
int slowLink(const std::string& a, const std::string& b, int threadCount, int roundTripMs,
             const std::string& text) {
    const std::chrono::milliseconds oneWay(roundTripMs / 2);
    const zortest::DelayingProxy toA("127.0.8.4", a, oneWay);
    const zortest::DelayingProxy toAOverIpv6("::1", a, oneWay);
    const zortest::DelayingProxy toB("127.0.8.5", b, oneWay);
    const auto start = Clock::now();
    initCorba(text, 0);
    long nil = resolves() ? 0 : 1;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    constexpr int kLookups = 40;
    std::atomic<long> failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&failed, threadCount] {
            for (int n = 0; n < kLookups / threadCount; ++n) {
                failed += resolves() ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const int calls = 2 + kLookups / threadCount * threadCount;
    std::printf("%.1f %d %d %ld\n", ms,
                toA.requests() + toAOverIpv6.requests() + toB.requests() - calls, calls - 1,
                nil + failed.load());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 4 ? argv[4] : "";
    if (!(argc == 6 && (mode == "killed" || mode == "healthy")) &&
        !(argc == 5 && (mode == "cut" || mode == "connect")) && !(argc == 7 && mode == "slow")) {
        std::fprintf(stderr,
                     "usage: zorclient_takeover HOST_A HOST_B THREADS killed PID | cut | "
                     "connect | healthy N | slow RTT TEXT\n");
        return 2;
    }
    const std::string a = argv[1];
    const std::string b = argv[2];
    const char* name = std::getenv("ZORCLIENT_TAKEOVER_NAME");
    const std::string host = name != nullptr ? name : a + ",iiop:1.1@" + b;
    initCorba(mode == "connect" || mode == "slow" ? a : host, 0);
    int noArguments = 0;
    const CORBA::ORB_var orb =
        CORBA::ORB_init(noArguments, nullptr, OrbPlatform::orbInitId("ZOR_CLIENT_ORB"));
    bindOn(orb.in(), a);
    if (mode == "connect") {
        const auto start = Clock::now();
        initCorba(host, 0);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("%.1f %d\n", ms, resolves() ? 0 : 1);
        return 0;
    }
    bindOn(orb.in(), b);
    if (mode == "slow") {
        return slowLink(a, b, std::atoi(argv[3]), std::atoi(argv[5]), argv[6]);
    }
    if (!resolves()) {
        std::fprintf(stderr, "zorclient_takeover: a/b/c does not resolve through %s\n", a.c_str());
        return 1;
    }
    if (mode == "healthy") {
        const int threadCount = std::atoi(argv[3]);
        const long perThread = std::atol(argv[5]) / threadCount;
        std::atomic<long> nil{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < threadCount; ++i) {
            threads.emplace_back([&] {
                for (long n = 0; n < perThread; ++n) {
                    nil += resolves() ? 0 : 1;
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        std::printf("%ld\n", nil.load());
        return 0;
    }
    busy(std::atoi(argv[3]));

    std::unique_ptr<zortest::CutOff> cut;
    if (mode == "killed") {
        kill(static_cast<pid_t>(std::atol(argv[5])), SIGKILL);
    } else {
        cut = std::make_unique<zortest::CutOff>(a);
    }
    const auto start = Clock::now();
    int nilLookups = 0;
    while (!resolves()) {
        ++nilLookups;
        if (Clock::now() - start > std::chrono::seconds(30)) {
            std::fprintf(stderr, "zorclient_takeover: no lookup went through in 30 s\n");
            return 1;
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("%.1f %d\n", ms, nilLookups);
    return 0;
}

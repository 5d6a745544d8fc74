// SPDX-License-Identifier: MIT
// zorclient against the hand-written ORB calls it stands for, side by side in
// one run. Latency pairs are timed call by call, alternately (library, then
// hand-written, then the other order), so that machine noise hits both sides
// alike, and the ratio is that of the two medians; throughput pairs are
// registered round after round (A, B, A, B ...). The table reports medians
// and the spread of the rounds' medians.
//
//   zorclient_bench HOST [ROUNDS]
// HOST runs a naming service at port 9999; the bench binds what it resolves.
#include "bind_path.h"
#include "orb_platform.h"
#include "zorclient.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_host;
const char* const kFirst = "bench";
const char* const kSecond = "objects";
const char* const kThird = "target";

// What a hand-written caller holds: the ORB and its own naming context.
CORBA::ORB_var g_orb;
CosNaming::NamingContext_var g_context;

std::string namingUrl() {
    return "corbaloc:iiop:1.1@" + g_host + ":9999/NameService";
}

// ---- the cases: each library side and its hand-written baseline ----

void libraryCreateObject(benchmark::State& state) {
    for (auto _ : state) {
        CORBA::Object_var object = createObject(kFirst, kSecond, kThird);
        benchmark::DoNotOptimize(object.in());
    }
    state.SetItemsProcessed(state.iterations());
}

void handResolve(benchmark::State& state) {
    for (auto _ : state) {
        CORBA::Object_var object =
            g_context->resolve(zorexample::threePartName(kFirst, kSecond, kThird));
        benchmark::DoNotOptimize(object.in());
    }
    state.SetItemsProcessed(state.iterations());
}

// A name that is not bound: the failure path, where the library's trace
// (off here) is looked at.
const char* const kMissing = "missing";

// The wire floor: one loopback TCP round trip of a resolve's request and reply
// sizes (measured with strace on this bench's own resolve).
constexpr size_t kRequestBytes = 117;
constexpr size_t kReplyBytes = 84;

// A connection to an echo thread that answers each request with a reply of
// those sizes; roundTrip() makes one exchange. Set up once, used call by call.
int g_floorClient = -1;

bool openFloor() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    inet_pton(AF_INET, g_host.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener);
        return false;
    }
    std::thread([listener] {
        const int peer = accept(listener, nullptr, nullptr);
        close(listener);
        const int one = 1;
        setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<char> buffer(kRequestBytes > kReplyBytes ? kRequestBytes : kReplyBytes);
        for (;;) {
            size_t got = 0;
            while (got < kRequestBytes) {
                const ssize_t n = recv(peer, buffer.data() + got, kRequestBytes - got, 0);
                if (n <= 0) {
                    close(peer);
                    return;
                }
                got += static_cast<size_t>(n);
            }
            if (send(peer, buffer.data(), kReplyBytes, 0) <= 0) {
                close(peer);
                return;
            }
        }
    }).detach();
    g_floorClient = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(g_floorClient, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return connect(g_floorClient, reinterpret_cast<sockaddr*>(&address), length) == 0;
}

void roundTrip() {
    static std::vector<char> request(kRequestBytes, 'q');
    static std::vector<char> reply(kReplyBytes);
    send(g_floorClient, request.data(), request.size(), 0);
    size_t got = 0;
    while (got < kReplyBytes) {
        const ssize_t n = recv(g_floorClient, reply.data() + got, kReplyBytes - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
}

// ---- latency: single calls (or short batches of the cheapest) timed
// alternately ----

using Clock = std::chrono::steady_clock;

// Nanoseconds per call of `call` over `perBatch` calls.
double timedBatch(const std::function<void()>& call, int perBatch) {
    const auto start = Clock::now();
    for (int i = 0; i < perBatch; ++i) {
        call();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / perBatch;
}

double medianOf(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One round: `batches` batches of each side, the order swapped every time.
// Adds the round's two medians to `library` and `hand`.
void alternate(const std::function<void()>& libraryCall, const std::function<void()>& handCall,
               int batches, int perBatch, std::vector<double>& library, std::vector<double>& hand) {
    std::vector<double> ours;
    std::vector<double> theirs;
    for (int i = 0; i < batches; ++i) {
        if (i % 2 == 0) {
            ours.push_back(timedBatch(libraryCall, perBatch));
            theirs.push_back(timedBatch(handCall, perBatch));
        } else {
            theirs.push_back(timedBatch(handCall, perBatch));
            ours.push_back(timedBatch(libraryCall, perBatch));
        }
    }
    library.push_back(medianOf(ours));
    hand.push_back(medianOf(theirs));
}

// ---- collecting the runs for the table ----

struct Sample {
    double nsPerOp;
    double itemsPerSecond;
};

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) {
                continue;
            }
            const auto items = run.counters.find("items_per_second");
            samples[run.run_name.function_name + threadSuffix(run.threads)].push_back(
                {run.GetAdjustedRealTime(),
                 items == run.counters.end() ? 0.0 : static_cast<double>(items->second)});
        }
        ConsoleReporter::ReportRuns(runs);
    }
    static std::string threadSuffix(int64_t threads) {
        return threads > 1 || threads == 0 ? "/threads:" + std::to_string(threads) : "";
    }
    std::map<std::string, std::vector<Sample>> samples;
};

struct Spread {
    double median, low, high;
};

template <typename Get>
Spread spreadOf(const std::vector<Sample>& samples, Get get) {
    std::vector<double> values;
    for (const Sample& sample : samples) {
        values.push_back(get(sample));
    }
    std::sort(values.begin(), values.end());
    if (values.empty()) {
        return {0, 0, 0};
    }
    const size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return {median, values.front(), values.back()};
}

// Whether a ratio meets its target ("<= 1.02", ">= 0.95"): "yes", "NO", or
// nothing for a row without one.
const char* verdict(double ratio, const char* target) {
    double bound = 0;
    if (std::sscanf(target, "<= %lf", &bound) == 1) {
        return ratio <= bound ? "yes" : "NO";
    }
    if (std::sscanf(target, ">= %lf", &bound) == 1) {
        return ratio >= bound ? "yes" : "NO";
    }
    return "";
}

std::string formatSpread(const Spread& spread, const char* unit) {
    char text[96];
    std::snprintf(text, sizeof text, "%10.1f %s [%.1f..%.1f]", spread.median, unit, spread.low,
                  spread.high);
    return text;
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: zorclient_bench HOST [ROUNDS] [benchmark options]\n";
        return 2;
    }
    g_host = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    // A name for HOST and ::1, as Debian's hosts file has localhost: one
    // server, which should cost what HOST itself costs.
    const char* dualStackName = std::getenv("ZORCLIENT_BENCH_DUAL_STACK_NAME");
    if (!openFloor()) {
        std::cerr << "zorclient_bench: cannot open a loopback connection for the floor\n";
        return 1;
    }
    initCorba(g_host, 0);
    g_context = getNameService();
    if (CORBA::is_nil(g_context.in())) {
        std::cerr << "zorclient_bench: no naming service at " << g_host << ":9999\n";
        return 1;
    }
    int noArguments = 0;
    g_orb = CORBA::ORB_init(noArguments, nullptr, OrbPlatform::orbInitId("ZOR_CLIENT_ORB"));
    zorexample::bindPath(g_context.in(), kFirst, kSecond, kThird, g_context.in());

    // Latency, alternately, call by call (getNameService, some 40 ns, in
    // batches of 1000 so that reading the clock does not weigh on it).
    struct Latency {
        const char* title;
        std::function<void()> library;
        std::function<void()> hand;
        int perBatch;
        const char* target;
        std::vector<double> libraryMedians;
        std::vector<double> handMedians;
    };
    const std::string url = namingUrl();
    Latency latencies[] = {
        {"createObject vs resolve",
         [] { CORBA::release(createObject(kFirst, kSecond, kThird)); },
         [] {
             CORBA::release(g_context->resolve(zorexample::threePartName(kFirst, kSecond, kThird)));
         },
         1,
         "<= 1.02",
         {},
         {}},
        {"getNameService+release vs _duplicate+release",
         [] { CORBA::release(getNameService()); },
         [] { CORBA::release(CosNaming::NamingContext::_duplicate(g_context.in())); },
         1000,
         "<= 2",
         {},
         {}},
        {"initCorba vs string_to_object+_narrow",
         [] { initCorba(g_host, 0); },
         [&url] {
             const CORBA::Object_var object = g_orb->string_to_object(url.c_str());
             CORBA::release(CosNaming::NamingContext::_narrow(object.in()));
         },
         1,
         "<= 1.05",
         {},
         {}},
        {"resolve (hand-written) vs loopback TCP round trip",
         [] {
             CORBA::release(g_context->resolve(zorexample::threePartName(kFirst, kSecond, kThird)));
         },
         roundTrip,
         1,
         "(the wire)",
         {},
         {}},
        {"createObject vs resolve, not bound (trace off)",
         [] { CORBA::release(createObject(kFirst, kSecond, kMissing)); },
         [] {
             try {
                 CORBA::release(
                     g_context->resolve(zorexample::threePartName(kFirst, kSecond, kMissing)));
             } catch (const CosNaming::NamingContext::NotFound&) {
                 benchmark::ClobberMemory();
             }
         },
         1,
         "<= 1.02",
         {},
         {}},
    };
    for (int round = 0; round < rounds; ++round) {
        for (Latency& latency : latencies) {
            alternate(latency.library, latency.hand, 2000, latency.perBatch, latency.libraryMedians,
                      latency.handMedians);
        }
    }

    // Through the name and through HOST: initCorba call by call, alternately;
    // createObject in alternating phases, each after the connection it needs
    // (the library holds one context at a time).
    std::vector<double> nameConnects, hostConnects, nameLookups, hostLookups;
    if (dualStackName != nullptr) {
        const std::string name = dualStackName;
        initCorba(name, 0);
        if (CORBA::is_nil(CosNaming::NamingContext_var(getNameService()).in())) {
            std::cerr << "zorclient_bench: no naming service through " << name << "\n";
            return 1;
        }
        const auto lookup = [] { CORBA::release(createObject(kFirst, kSecond, kThird)); };
        for (int round = 0; round < rounds; ++round) {
            alternate([&name] { initCorba(name, 0); }, [] { initCorba(g_host, 0); }, 2000, 1,
                      nameConnects, hostConnects);
            std::vector<double> throughName, throughHost;
            for (int phase = 0; phase < 200; ++phase) {
                initCorba(phase % 2 == 0 ? name : g_host, 0);
                std::vector<double>& into = phase % 2 == 0 ? throughName : throughHost;
                for (int i = 0; i < 10; ++i) {
                    into.push_back(timedBatch(lookup, 1));
                }
            }
            nameLookups.push_back(medianOf(throughName));
            hostLookups.push_back(medianOf(throughHost));
        }
        initCorba(g_host, 0);
    }

    // Throughput, with Google Benchmark, round after round.
    struct Pair {
        const char* title;
        void (*library)(benchmark::State&);
        void (*baseline)(benchmark::State&);
        int threads;
    };
    const Pair pairs[] = {
        {"createObject vs resolve, 1 thread", libraryCreateObject, handResolve, 1},
        {"createObject vs resolve, 2 threads", libraryCreateObject, handResolve, 2},
        {"createObject vs resolve, 4 threads", libraryCreateObject, handResolve, 4},
        {"createObject vs resolve, 8 threads", libraryCreateObject, handResolve, 8},
    };
    const std::map<void (*)(benchmark::State&), const char*> names = {
        {libraryCreateObject, "createObject"}, {handResolve, "resolve"}};
    for (int round = 0; round < rounds; ++round) {
        for (const Pair& pair : pairs) {
            for (auto* function : {pair.library, pair.baseline}) {
                auto* registered = benchmark::RegisterBenchmark(names.at(function), function);
                registered->MinTime(0.2)->UseRealTime();
                if (pair.threads > 1) {
                    registered->Threads(pair.threads);
                }
            }
        }
    }

    int benchArgc = 1;
    std::vector<char*> benchArgv = {argv[0]};
    for (int i = 3; i < argc; ++i) {
        benchArgv.push_back(argv[i]);
        ++benchArgc;
    }
    benchmark::Initialize(&benchArgc, benchArgv.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    // Memory: resident set before and after 100,000 lookups, after a warm-up.
    for (int i = 0; i < 10000; ++i) {
        CORBA::release(createObject(kFirst, kSecond, kThird));
    }
    const long before = residentKiB();
    for (int i = 0; i < 100000; ++i) {
        CORBA::release(createObject(kFirst, kSecond, kThird));
    }
    const long growth = residentKiB() - before;

    std::printf("\n%-48s %-34s %-34s %8s %-10s %s\n", "case", "zorclient", "hand-written", "ratio",
                "target", "met");
    const auto perSecond = [](const Sample& s) { return s.itemsPerSecond; };
    const auto roundsSpread = [](const std::vector<double>& medians) {
        return Spread{medianOf(medians), *std::min_element(medians.begin(), medians.end()),
                      *std::max_element(medians.begin(), medians.end())};
    };
    for (const Latency& latency : latencies) {
        const Spread a = roundsSpread(latency.libraryMedians);
        const Spread b = roundsSpread(latency.handMedians);
        const double ratio = b.median > 0 ? a.median / b.median : 0.0;
        std::printf("%-48s %-34s %-34s %8.3f %-10s %s\n", latency.title,
                    formatSpread(a, "ns").c_str(), formatSpread(b, "ns").c_str(), ratio,
                    latency.target, verdict(ratio, latency.target));
    }
    for (const Pair& pair : pairs) {
        const std::string suffix = Collector::threadSuffix(pair.threads);
        const Spread a = spreadOf(collector.samples[names.at(pair.library) + suffix], perSecond);
        const Spread b = spreadOf(collector.samples[names.at(pair.baseline) + suffix], perSecond);
        const double ratio = b.median > 0 ? a.median / b.median : 0.0;
        std::printf("%-48s %-34s %-34s %8.3f %-10s %s\n", pair.title,
                    formatSpread(a, "op/s").c_str(), formatSpread(b, "op/s").c_str(), ratio,
                    ">= 0.95", verdict(ratio, ">= 0.95"));
    }
    const auto printPair = [&](const char* title, const std::vector<double>& ours,
                               const std::vector<double>& theirs, const char* target) {
        const Spread a = roundsSpread(ours);
        const Spread b = roundsSpread(theirs);
        const double ratio = b.median > 0 ? a.median / b.median : 0.0;
        std::printf("%-48s %-34s %-34s %8.3f %-10s %s\n", title, formatSpread(a, "ns").c_str(),
                    formatSpread(b, "ns").c_str(), ratio, target, verdict(ratio, target));
    };
    printPair("createObject vs loopback TCP round trip", latencies[0].libraryMedians,
              latencies[3].handMedians, "(the wire)");
    if (dualStackName != nullptr) {
        printPair("createObject, HOST and ::1 by name vs HOST", nameLookups, hostLookups,
                  "<= 1.02");
        printPair("initCorba, HOST and ::1 by name vs HOST", nameConnects, hostConnects, "<= 1.10");
    }
    std::printf("%-48s %ld KiB resident growth over 100,000 calls (target <= 64 KiB)\n",
                "memory: createObject + release", growth);
    std::printf(
        "ratio: zorclient / hand-written, of the medians; spread: [min..max] of the "
        "medians of %d rounds\n",
        rounds);

    g_context = CosNaming::NamingContext::_nil();
    g_orb = CORBA::ORB::_nil();
    return 0;
}

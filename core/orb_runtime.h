// SPDX-License-Identifier: MIT
// Process-wide CORBA client state and the operations on it. Internal to the
// library: nothing here is exported from the shared object.
//
// Status codes: 1 already present (nothing done), 0 done, -1 missing input,
// missing ORB or failure, -2 no naming context could be obtained.
// Every reference returned is new and the caller releases it; arguments are
// borrowed and a setter stores its own duplicate.
#ifndef ZORCLIENT_CORE_ORB_RUNTIME_H
#define ZORCLIENT_CORE_ORB_RUNTIME_H

#include "orb_platform.h"

#include <ace/Condition_Thread_Mutex.h>
#include <ace/Thread.h>
#include <ace/Thread_Mutex.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

struct addrinfo;  // <netdb.h>

namespace OrbRuntime {

// The library's name for its ORB; OrbPlatform::orbInitId says what the ORB
// library is actually given.
inline constexpr const char* kOrbId = "ZOR_CLIENT_ORB";

// --- process-wide slots and ORB start-up ---

// Serialises every test-then-fill of a slot. Taken before a slot's own lock,
// never after it.
extern ACE_Thread_Mutex g_initLock;

CORBA::ORB_ptr createOrb(int& argc, char** argv, const char* orbId);
void setOrb(CORBA::ORB_ptr orb);
CORBA::ORB_ptr getOrb();
void setNamingContext(CosNaming::NamingContext_ptr ctx);
CosNaming::NamingContext_ptr getNamingContext();
// Creates and holds the ORB unless one is held: 1, 0, or -1 for a nil ORB.
// Exceptions from the ORB library pass through.
int initOrb();
// Holds `orb` unless an ORB is held already: 1, 0, or -1 for nil.
int adoptOrb(CORBA::ORB_ptr orb);

// Whether this process is the child of a fork made after the library began
// to make or adopt its ORB. Such a child inherits the ORB with the parent's
// connections and locks but none of its threads: a request there may read
// the parent's reply, or wait for ever. The slots then read as empty, the
// setters and start-up do nothing (-1), and no lock is taken.
bool orbLeftInParent();
inline constexpr const char* kOrbLeftInParent =
    "this process was forked after the library started its ORB, whose connections are the "
    "parent's; exec a program in the child, or fork before the library's first call";

// Process-wide state, never destroyed: a host's thread may still be inside
// the library when exit or unload runs the destructors. Exit or unload only
// releases, under its locks, the references the state holds and the memory
// it owns (releaseReferences(State&), beside each State), so that such a
// thread finds it empty, and an unloaded library leaves nothing behind. A
// child forked after the ORB began releases nothing: the references are the
// parent's, and releasing one waits for any ORB lock a thread of the parent
// held at the fork.
template <class State>
union Lasting {
    State state;
    Lasting() : state() {}
    Lasting(const Lasting&) = delete;
    Lasting& operator=(const Lasting&) = delete;
    Lasting(Lasting&&) = delete;
    Lasting& operator=(Lasting&&) = delete;
    ~Lasting() {
        if (!orbLeftInParent()) {
            releaseReferences(state);
        }
    }
};

// --- settings from the environment ---

// Milliseconds after which the library's own remote calls give up; unset or 0
// leaves them unbounded. Applies to the references the library makes itself,
// never to the ORB as a whole.
inline constexpr const char* kCallTimeoutVariable = "ZORCLIENT_TIMEOUT_MS";
// "1": one line on std::cerr for each call that fails.
inline constexpr const char* kTraceVariable = "ZORCLIENT_TRACE";

// Reads both; initOrb calls it when it creates the ORB, adoptOrb when it
// adopts one. Later changes to the environment have no effect.
void readSettings();
CORBA::ULong callTimeoutMs();
bool tracing();

// When a remote call of the library's that starts now must have ended:
// never, without a bound.
using Deadline = std::chrono::steady_clock::time_point;
Deadline callDeadline();

using Clock = Deadline::clock;

// How long a call may still take: without a bound, no limit; with one, what
// is left of it, nothing or less once it is spent. Kept apart by type, never
// told by a value.
struct NoBound {};
using TimeLeft = std::variant<NoBound, Clock::duration>;
TimeLeft timeLeft(Deadline deadline, Clock::time_point now);

// How long one remote call waits for its answer: as long as the ORB waits,
// or a time-out of at least a millisecond.
struct NoTimeOut {};
struct TimeOut {
    CORBA::ULong ms;  // at least 1
};
using AttemptTime = std::variant<NoTimeOut, TimeOut>;
// The whole bound of ZORCLIENT_TIMEOUT_MS, or NoTimeOut without one.
AttemptTime wholeBound();

// A new reference to the same object whose calls give up after `time`, or a
// duplicate of `ref` for NoTimeOut. A bound the ORB refuses costs no
// connection: the reference goes on unbounded, and the process is told once.
CORBA::Object_ptr boundedObject(CORBA::ORB_ptr orb, CORBA::Object_ptr ref, AttemptTime time);
CosNaming::NamingContext_ptr boundedContext(CORBA::ORB_ptr orb, CosNaming::NamingContext_ptr ref,
                                            AttemptTime time);

// The library's own lines on std::cerr. Each is written whole, straight into
// the stream's buffer: the stream keeps its state and its exception mask
// never fires. None of them throws, and a thread cancelled while one is
// written is cancelled once the line is out.
//
// With tracing on: "zorclient: connecting to HOST: REASON" and
// "zorclient: resolving A/B/C: REASON"; a null reason stands for the
// exception being handled (call them only inside a handler then).
void traceConnecting(const std::string& host, const char* reason = nullptr) noexcept;
void traceResolving(const std::string& first, const std::string& second, const std::string& third,
                    const char* reason = nullptr) noexcept;
// "zorclient: handing out the naming context: REASON".
void traceHandingOut(const char* reason) noexcept;
// Once per process, whatever the trace setting: the ORB refused the time
// bound (the exception being handled says why), so calls go on unbounded.
void reportBoundNotInForce() noexcept;
// The text of the exception being handled; call it only inside a handler.
std::string currentExceptionText();

// --- host texts ---

// A NUL would end a text early on its way into the ORB as a C string: a URL
// would lose its port and key, a name the rest of its id.
inline bool hasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// corbaloc:iiop:1.1@<host>:9999/NameService; a bare IPv6 literal is bracketed.
std::string namingServiceUrl(const std::string& host);
// The parts of `text` between separators, empty ones included.
inline std::vector<std::string> splitText(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// Why `written`, standing where a host name stands, is no name the library
// looks up as written; empty if it is, with `usable` the name to look up (a
// trailing dot, an absolute name, means the same name without it).
std::string hostNameProblem(const std::string& written, std::string& usable);
// Why an IPv4 or bare IPv6 address is none a naming service answers at
// (multicast, broadcast); empty if it is.
std::string unicastProblem(const std::string& address);
// Addresses as inet_pton reads them; an IPv6 one without brackets.
bool isBareIpv6(const std::string& host);
bool isIpv4(const std::string& host);
// Why `address`, as written in an entry, is not one the library can use;
// empty if it is. `usable` says how it then stands: an IPv6 address
// bracketed, a name as it is looked up.
std::string addressProblem(const std::string& address, std::string& usable);
// A host name the library resolves itself, as written: labels of ASCII
// letters, digits, '-' and '_', 63 characters at most, joined by dots, 253
// at most in all, no trailing dot, the last label no number.
bool isHostName(const std::string& host);
// Reads a host text into its entries, (protocol, address) pairs: the first
// with "iiop:1.1@", the others with the protocol written; IPv6 addresses
// bracketed; every entry at port 9999, so no port is kept. Why the text is
// refused before anything is contacted, with what to write instead, or empty
// for a text the library takes.
std::string readHostText(const std::string& host,
                         std::vector<std::pair<std::string, std::string>>& entries);
std::string hostTextProblem(const std::string& host);
// corbaloc:iiop:1.1@<address>:9999,<protocol><address>:9999,.../NameService
// for entries as read: the first entry's protocol is always iiop:1.1@.
std::string entriesUrl(const std::vector<std::pair<std::string, std::string>>& entries);

// --- names ---

// The distinct addresses getaddrinfo found, in its order, IPv6 bracketed,
// those this ORB build cannot reach left out.
std::vector<std::string> addressTexts(const ::addrinfo* found);
// Why `name` has no addresses, from getaddrinfo's status (EAI_INPROGRESS:
// the bound ran out first; EAI_SYSTEM: no thread could be started).
std::string lookupFailure(const std::string& name, int status);

// The addresses of each of `names`, in the resolver's order, IPv6
// bracketed; none for a name that could not be resolved, with the reason
// added to `why`. Each name is looked up by a thread of the library's,
// which calls getaddrinfo, and calls for a name already in flight join it;
// a caller waits until `deadline` at most, and no more than a moment once
// some address is known (`othersKnown`, or another of the names). An answer
// is reused for a second. Thread cancellation ends the wait at once.
std::vector<std::vector<std::string>> addressesOf(const std::vector<std::string>& names,
                                                  bool othersKnown, Deadline deadline,
                                                  std::string& why);

// One address to connect to: its label in the trace; the server it belongs
// to when a name gave one server an address of each family (empty for a
// replica or a server of one address), and the address as that name gave
// it; its URL.
struct PlannedAddress {
    std::string label;
    std::string server;
    std::string address;
    std::string url;
};
// What to connect to for a host text the library takes: the whole service's
// URL, and one address per address when it has several (entries of the
// text, a name's addresses, or one server's IPv4 and IPv6 address), else the
// whole service alone.
struct ConnectionPlan {
    std::string wholeUrl;
    std::vector<PlannedAddress> addresses;
    // How long the first address took to answer the last connection to the
    // same server or replicas, when it was the one that answered.
    std::optional<Clock::duration> firstAnsweredIn;
};
// Names are resolved here, waiting until `deadline` at most; the URLs carry
// their addresses, so the ORB does not resolve them again. No addresses,
// with `why` said, for a text the library refuses (why it does, with what to
// write) and when no name could be resolved in time or at all; `why` also
// names the names left out.
ConnectionPlan planConnection(const std::string& host, Deadline deadline, std::string& why);

// --- the attempt schedule ---
// The rules by which one call tries the addresses of a server or of
// replicas: which address next, for how long, and when to give up. They make
// no ORB call and read no clock: the caller asks nextStep, makes the
// attempt, and reports a failure to noteFailure with the time then left.

// An address nothing has answered on yet is given this long before the next
// one is tried: a LAN answers well within it (RFC 8305 waits 250 ms).
inline constexpr CORBA::ULong kFirstAttemptMs = 128;
// Never less than this: on two busy cores a thread may wait that long for
// one, and a lookup that timed out for that reason would move the lookups
// to another replica.
inline constexpr CORBA::ULong kShortestAttemptMs = 32;
inline constexpr CORBA::ULong kLongestAttemptMs = 1U << 22;  // 70 minutes
// Attempts that could answer (refusals do not count) one call makes at most.
inline constexpr int kMostAttempts = 64;

// What a set of addresses has learned: the first attempt on an address
// waits kSafetyFactor times the slowest recent answer (each taken over the
// calls then in flight), times the calls in flight now, `alongside`; as a
// power of two of milliseconds, at least kShortestAttemptMs; kFirstAttemptMs
// before any answer.
inline constexpr std::uint32_t kSafetyFactor = 4;
CORBA::ULong firstWaitMs(std::optional<std::uint32_t> slowestAnswerMicros, std::uint32_t alongside);
// The longest attempt time that ends within `left` of a bound of `boundMs`,
// to the millisecond: the bound itself, a power of two, or the bound less
// the smallest power of two not under the time spent (so that an attempt
// made after a short name lookup still has nearly all the bound). None when
// less than a millisecond is left.
std::optional<CORBA::ULong> fittingMs(Clock::duration left, CORBA::ULong boundMs);

// How a failed attempt went: its time ran out; the address refused the
// connection (not tried again in the call); the connection failed otherwise.
enum class Failure { TimedOut, Refused, Lost };

// One call's way through its addresses.
struct AttemptPlan {
    struct Turn {
        CORBA::ULong waitMs;  // the next attempt's time, doubled after each time-out
        int timeouts = 0;
        bool refused = false;
        bool tried = false;
    };
    std::vector<std::size_t> order;  // addresses, in the order to try them
    std::vector<Turn> turns;         // one per entry of `order`
    CORBA::ULong boundMs = 0;        // used only with a bound
    std::size_t turn = 0;
    int answerable = 0;   // attempts made that were not refused
    bool stayed = false;  // a busy address is asked once more, once per call
    enum class End { No, AllRefused, LastTimedOut, TooLittleLeft, MostAttempts } end = End::No;
};
AttemptPlan planAttempts(std::vector<std::size_t> order, CORBA::ULong firstWaitMs,
                         CORBA::ULong boundMs);

// What to do next: an attempt on `address` with `time`, or end the call,
// with the last failure, or with TIMEOUT when the bound was spent first.
struct Step {
    enum class Kind { Attempt, EndWithLastFailure, EndSpent } kind;
    std::size_t address;
    AttemptTime time;
};
Step nextStep(const AttemptPlan& plan, const TimeLeft& left);
// After the attempt nextStep gave failed, with `left` now. `busy`: the
// address answered another call in the attempt's second half and is still
// the set's first, so a time-out on it was the server's load, not its loss.
// Whether the set of addresses moves on from it.
bool noteFailure(AttemptPlan& plan, Failure failure, bool busy, const TimeLeft& left);
// Addresses the call never tried, in order.
std::vector<std::size_t> untried(const AttemptPlan& plan);

// A connection's race over the addresses of replicas or of one server: each
// attempt has all the time the call has and is never abandoned for the
// next, which starts once every attempt started has failed, or the last one
// started has not answered in `staggerMs` (RFC 8305's connection attempt
// delay); the first answer wins. So a slow address is waited for and a
// silent one costs the stagger.
inline constexpr std::size_t kMostRacing = 8;  // attempts in flight at once
struct RacePlan {
    std::vector<std::size_t> order;  // addresses, in the order to start them
    CORBA::ULong staggerMs = kFirstAttemptMs;
    CORBA::ULong boundMs = 0;  // used only with a bound
    std::size_t started = 0;
    std::size_t failed = 0;
    std::size_t refused = 0;
    Clock::time_point lastStart;
};
RacePlan planRace(std::vector<std::size_t> order, CORBA::ULong staggerMs, CORBA::ULong boundMs);
// Start an attempt on `address` with `time`; wait for an attempt to end, at
// most `wait`; or end: the bound spent, every attempt failed, or the most
// attempts made (the rest named as untried).
struct RaceStep {
    enum class Kind { Start, Wait, EndSpent, EndAllFailed, EndMostAttempts } kind;
    std::size_t address = 0;
    AttemptTime time;
    TimeLeft wait;
};
RaceStep nextRaceStep(const RacePlan& plan, Clock::time_point now, const TimeLeft& left);
void noteRaceStart(RacePlan& plan, Clock::time_point now);
void noteRaceFailure(RacePlan& plan, Failure failure);

// The driver's pieces: a line of the trace for one attempt; how a failed
// attempt on `address` went, none when what it threw is the call's answer
// (a TRANSIENT the server itself raised, any other exception); and the
// trace's text for it.
void noteAttempt(std::string& attempts, const std::string& label, const std::string& outcome);
std::optional<Failure> repeatableFailure(const CORBA::SystemException& ex,
                                         CORBA::Object_ptr address);
std::string attemptOutcome(const CORBA::SystemException& ex, AttemptTime time);

// --- address sets ---

// The addresses of one held context with replicas, and what its calls have
// learned of them. `addresses` does not change once the set is made.
inline constexpr std::size_t kAnswersKept = 32;
struct AddressSet {
    CORBA::ORB_var orb;
    std::vector<PlannedAddress> addresses;
    // Under the replica lock: the order to try them in (the one in use
    // first) and the references made for each attempt time so far.
    std::vector<std::size_t> order;
    std::vector<std::map<std::optional<CORBA::ULong>, CosNaming::NamingContext_var>> contexts;
    // Each answer's time over the calls then in flight on the set: a server
    // answers calls that come together in turn.
    std::array<std::atomic<std::uint32_t>, kAnswersKept> answerMicros{};
    std::atomic<std::size_t> answers{0};
    std::atomic<std::uint32_t> callsInFlight{0};
    // When each address last answered, in microseconds of Clock.
    std::unique_ptr<std::atomic<std::uint64_t>[]> answeredAt;
};
std::shared_ptr<AddressSet> makeAddressSet(CORBA::ORB_ptr orb,
                                           std::vector<PlannedAddress> addresses);
// The first attempt time for a call on the set, with `alongside` calls in
// flight on it, this one included.
CORBA::ULong learnedFirstWaitMs(const AddressSet& set, std::uint32_t alongside);
void noteAnswer(AddressSet& set, std::size_t by, Clock::time_point started, Clock::time_point now,
                std::uint32_t alongside);
// Whether address `i`, still the set's first, answered a call after `since`.
bool answeringSince(AddressSet& set, std::size_t i, Clock::time_point since);
// Checking and moving are one step: calls that fail on one address together
// move the set on once.
void moveOnFrom(AddressSet& set, std::size_t failed);
// For lookups: the context at address `i` whose calls give up after `time`,
// made the first time that time is used, outside the replica lock.
CosNaming::NamingContext_ptr lookupAttempt(AddressSet& set, std::size_t i, AttemptTime time);
// Held contexts with replicas: the newest few are kept with their sets; a
// context that has fallen out is looked up on directly.
void keepSet(CosNaming::NamingContext_ptr held, std::shared_ptr<AddressSet> set);
// The set of `held` and its order now; null if none is kept.
std::shared_ptr<AddressSet> keptSet(CosNaming::NamingContext_ptr held,
                                    std::vector<std::size_t>& order);
// Which address answered the last connection to a server of several (by
// the server's name), or to replicas (by the whole service's URL): the next
// connection tries it first, as RFC 8305 suggests; empty if none is known.
struct LastAnswer {
    std::string address;
    Clock::duration took;
};
void rememberAnswered(const std::string& connection, LastAnswer answer);
std::optional<LastAnswer> lastAnswer(const std::string& connection);
// Makes address `i` the set's first: the one the connection held.
void preferAddress(AddressSet& set, std::size_t i);

// --- replicas ---

// The naming context of `plan`, connected
// through its addresses by the attempt schedule, within `deadline`. With
// replicas it keeps one reference per address for the library's lookups, the
// one that answered in use; of one server's addresses it holds the one that
// answered. Nil if the object is no naming context. Throws what the last
// attempt threw; `attempts` then says how each went.
CosNaming::NamingContext_ptr connectReplicas(CORBA::ORB_ptr orb, const ConnectionPlan& plan,
                                             Deadline deadline, std::string& attempts);
// The connection to several addresses (`replicas`, or one server's): the
// first address in the caller's own thread where the last connection showed
// its path fast, else (or should it fail) the connection's race. The context
// of the one that answered, `answered` its index, remembered for the next
// connection; `learning`, when given, learns from it and moves on to it.
// Throws as connectReplicas does.
CosNaming::NamingContext_ptr connectSeveral(CORBA::ORB_ptr orb, const ConnectionPlan& plan,
                                            AddressSet* learning, bool replicas, Deadline deadline,
                                            std::string& attempts, std::size_t& answered);
// Whether lookups on `held` go to addresses of its own.
bool hasReplicas(CosNaming::NamingContext_ptr held);
// Resolves `name` on the addresses of `held` by the attempt schedule, from
// the one in use on. Throws what the last attempt threw; `attempts` says how
// each went.
CORBA::Object_ptr resolveOnReplicas(CosNaming::NamingContext_ptr held, const CosNaming::Name& name,
                                    Deadline deadline, std::string& attempts);

// --- naming-service client ---
// Three components, ids from the texts, empty kinds.
CosNaming::Name makeName(const std::string& first, const std::string& second,
                         const std::string& third);
// Nil on any failure, including a host with a NUL byte.
CosNaming::NamingContext_ptr connectNamingService(CORBA::ORB_ptr orb, const std::string& host,
                                                  int reserved);
// Holds `ctx` unless a context is held already: 1, 0, or -1 for nil.
int adoptNamingContext(CosNaming::NamingContext_ptr ctx);
// Connects and holds a context unless one is held: 1, 0, -1 without an ORB,
// -2 if no context could be obtained.
int initNamingService(const std::string& host, int reserved);
// Nil on any failure, for a nil context, or for a text with a NUL byte.
CORBA::Object_ptr resolveName(CosNaming::NamingContext_ptr ctx, const std::string& first,
                              const std::string& second, const std::string& third);
// resolveName on the held context; nil if none is held.
CORBA::Object_ptr resolveObject(const std::string& first, const std::string& second,
                                const std::string& third);

// --- threads of the library's own ---
// A detached thread that runs `run(arg)` with every signal blocked; false if
// none could be started. The library stays loaded once one has run.
bool spawnHelperThread(ACE_THR_FUNC run, void* arg);
// Under `condition`'s mutex: waits until it is signalled or `most` has
// passed, 250 ms at most. A cancelled caller leaves at once, holding the
// mutex again.
void waitASlice(ACE_Condition_Thread_Mutex& condition, const TimeLeft& most);

// --- event loop, shutdown, root POA ---

// Runs the ORB's event loop on a detached thread. `orb` is borrowed by that
// thread: the caller keeps its reference until the loop has ended.
int startOrbThread(CORBA::ORB_ptr orb);
// Thread function for ACE_Thread::spawn; `arg` is the ORB pointer.
ACE_THR_FUNC_RETURN runOrbLoop(void* arg);
// Asks the ORB to stop without waiting: 0, or -1 for nil or a system exception.
int shutdownOrb(CORBA::ORB_ptr orb);
// Nil if the ORB is nil or has no usable root POA. Exceptions from
// resolve_initial_references pass through.
PortableServer::POA_ptr getRootPoa(CORBA::ORB_ptr orb);

}  // namespace OrbRuntime

#endif

// SPDX-License-Identifier: MIT
#include "stand_ins.h"

#include "orb_platform.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zortest {
namespace {

std::atomic<int> g_calls{0};
std::atomic<int> g_delayMs{0};
std::atomic<bool> g_nilOnce{false};
// Never destroyed: a detached thread of the library's may end after exit
// has begun.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_spawnEnded = *new std::condition_variable;
std::string g_lastId;
SpawnRecord g_spawn;

}  // namespace

int orbInitCalls() {
    return g_calls.load();
}

std::string lastOrbInitId() {
    const std::lock_guard<std::mutex> guard(g_lock);
    return g_lastId;
}

void delayOrbInit(int milliseconds) {
    g_delayMs = milliseconds;
}

void returnNilFromNextOrbInit() {
    g_nilOnce = true;
}

SpawnRecord lastSpawn() {
    const std::lock_guard<std::mutex> guard(g_lock);
    return g_spawn;
}

bool waitForSpawnedExit() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_lock<std::mutex> guard(g_lock);
    if (!g_spawnEnded.wait_until(guard, deadline, [] { return g_spawn.ended; })) {
        return false;
    }
    const std::string task = "/proc/self/task/" + std::to_string(g_spawn.threadId);
    guard.unlock();
    while (access(task.c_str(), F_OK) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // A joined ACE thread's exit takes the locks the detached one's took last.
    ACE_hthread_t handle{};
    ACE_Thread::spawn([](void*) -> ACE_THR_FUNC_RETURN { return nullptr; }, nullptr, THR_JOINABLE,
                      nullptr, &handle);
    return ACE_Thread::join(handle, nullptr, nullptr) == 0;
}

}  // namespace zortest

namespace {

// True when the ORB library is to be skipped and a nil ORB returned.
bool count(const char* orbIdentifier) {
    ++zortest::g_calls;
    {
        const std::lock_guard<std::mutex> guard(zortest::g_lock);
        zortest::g_lastId = orbIdentifier != nullptr ? orbIdentifier : "";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(zortest::g_delayMs.load()));
    return zortest::g_nilOnce.exchange(false);
}

template <typename Function>
Function realFunction(const char* mangledName) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, mangledName));
}

// One spawn as it was asked for; the latest one's thread also reports to
// g_spawn.
struct Spawned {
    zortest::SpawnRecord record;
    unsigned long number;
};
unsigned long g_spawns = 0;  // under g_lock

// Runs its own spawn's function (threads spawned together may start in any
// order) and, if it is still the latest spawn, records its thread and result.
// Every spawned thread's id, never destroyed.
std::vector<long>& g_spawnedThreads = *new std::vector<long>;  // under g_lock

ACE_THR_FUNC_RETURN recordedThread(void* arg) {
    const std::unique_ptr<Spawned> spawned(static_cast<Spawned*>(arg));
    {
        const std::lock_guard<std::mutex> guard(zortest::g_lock);
        g_spawnedThreads.push_back(static_cast<long>(syscall(SYS_gettid)));
        if (spawned->number == g_spawns) {
            zortest::g_spawn.threadId = static_cast<long>(syscall(SYS_gettid));
        }
    }
    const ACE_THR_FUNC_RETURN result = spawned->record.function(spawned->record.argument);
    const std::lock_guard<std::mutex> guard(zortest::g_lock);
    if (spawned->number == g_spawns) {
        zortest::g_spawn.ended = true;
        zortest::g_spawn.result = result;
        zortest::g_spawnEnded.notify_all();
    }
    return result;
}

#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer the process waits at the end (10 s at most) for the
// library's detached threads to end, then takes the locks that ACE's exit
// destroys through a joined thread: each detached thread's last use of them
// is then ordered before exit's.
class SpawnedThreadsEnd : public testing::Environment {
public:
    void TearDown() override {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::vector<long> threads;
        {
            const std::lock_guard<std::mutex> guard(zortest::g_lock);
            threads = g_spawnedThreads;
        }
        for (const long thread : threads) {
            const std::string task = "/proc/self/task/" + std::to_string(thread);
            while (access(task.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        ACE_hthread_t handle{};
        ACE_Thread::spawn([](void*) -> ACE_THR_FUNC_RETURN { return nullptr; }, nullptr,
                          THR_JOINABLE, nullptr, &handle);
        ACE_Thread::join(handle, nullptr, nullptr);
    }
};
[[maybe_unused]] testing::Environment* const g_spawnedThreadsEnd =
    testing::AddGlobalTestEnvironment(new SpawnedThreadsEnd);
#endif

}  // namespace

int zortest::spawnCount() {
    const std::lock_guard<std::mutex> guard(zortest::g_lock);
    return static_cast<int>(g_spawns);
}

// Visible, so that the dynamic linker binds the shared object's calls here too.
// Each ORB library declares ORB_init with parameters of its own.
#if defined(ZORCLIENT_ORB_TAO)
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(int& argc, char* argv[],
                                                                      const char* orb_name) {
    using OrbInit = CORBA::ORB_ptr (*)(int&, char**, const char*);
    static const auto real = realFunction<OrbInit>("_ZN5CORBA8ORB_initERiPPcPKc");
    return count(orb_name) ? CORBA::ORB::_nil() : real(argc, argv, orb_name);
}
#else
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(int& argc, char** argv,
                                                                      const char* orb_identifier,
                                                                      const char* options[][2]) {
    using OrbInit = CORBA::ORB_ptr (*)(int&, char**, const char*, const char*[][2]);
    static const auto real = realFunction<OrbInit>("_ZN5CORBA8ORB_initERiPPcPKcPA2_S4_");
    return count(orb_identifier) ? CORBA::ORB::_nil() : real(argc, argv, orb_identifier, options);
}
#endif

// Only spawns of ACE_Thread::spawn's shape (no thread adapter) are recorded:
// ACE's own thread manager passes one.
__attribute__((visibility("default"))) int ACE_OS::thr_create(
    ACE_THR_FUNC func, void* args, long flags, ACE_thread_t* thr_id, ACE_hthread_t* thr_handle,
    long priority, void* stack, size_t stacksize, ACE_Base_Thread_Adapter* thread_adapter,
    const char** thr_name) {
    using ThrCreate = int (*)(ACE_THR_FUNC, void*, long, ACE_thread_t*, ACE_hthread_t*, long, void*,
                              size_t, ACE_Base_Thread_Adapter*, const char**);
    static const auto real = realFunction<ThrCreate>(
        "_ZN6ACE_OS10thr_createEPFPvS0_ES0_lPmS3_lS0_mP23ACE_Base_Thread_AdapterPPKc");
    if (thread_adapter != nullptr) {
        return real(func, args, flags, thr_id, thr_handle, priority, stack, stacksize,
                    thread_adapter, thr_name);
    }
    auto* const spawned =
        new Spawned{{func, args, flags, priority, stack, stacksize, false, 0, nullptr}, 0};
    {
        const std::lock_guard<std::mutex> guard(zortest::g_lock);
        spawned->number = ++g_spawns;
        zortest::g_spawn = spawned->record;
    }
    const int result = real(recordedThread, spawned, flags, thr_id, thr_handle, priority, stack,
                            stacksize, thread_adapter, thr_name);
    if (result == -1) {
        delete spawned;
    }
    return result;
}

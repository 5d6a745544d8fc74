// SPDX-License-Identifier: MIT
// Threads of the library's own, for name lookups and raced attempts, and
// the callers' waits for them. One may outlive every caller, and the host may
// unload the library meanwhile: its code stays mapped until the process ends
// once one has started. They take no signal of the host's.
#include "orb_runtime.h"

#include <ace/OS_NS_sys_time.h>
#include <ace/Thread.h>

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

namespace OrbRuntime {
namespace {

// Waits on a condition are cut into slices: its clock is the wall clock,
// which may be set back while a caller waits.
constexpr auto kLongestWait = std::chrono::milliseconds(250);

}  // namespace

bool spawnHelperThread(ACE_THR_FUNC run, void* arg) {
    static const bool kKeptLoaded = [] {
        Dl_info self{};
        return dladdr(reinterpret_cast<void*>(&spawnHelperThread), &self) != 0 &&
               self.dli_fname != nullptr &&
               dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    }();
    static_cast<void>(kKeptLoaded);
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int spawned = ACE_Thread::spawn(run, arg, THR_NEW_LWP | THR_DETACHED, nullptr, nullptr, 0,
                                          nullptr, 0, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return spawned != -1;
}

void waitASlice(ACE_Condition_Thread_Mutex& condition, const TimeLeft& most) {
    const auto* bound = std::get_if<Clock::duration>(&most);
    const auto slice = bound == nullptr ? Clock::duration(kLongestWait)
                                        : std::min<Clock::duration>(*bound, kLongestWait);
    ACE_Time_Value at = ACE_OS::gettimeofday();
    at += ACE_Time_Value(
        0, static_cast<suseconds_t>(
               std::chrono::duration_cast<std::chrono::microseconds>(slice).count() + 1));
    condition.wait(&at);
}

}  // namespace OrbRuntime

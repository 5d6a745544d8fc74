// SPDX-License-Identifier: MIT
// Threads of the library's own, for name lookups and raced attempts. One may
// outlive every caller, and the host may unload the library meanwhile: its
// code stays mapped until the process ends once one has started. They take
// no signal of the host's.
#include "orb_runtime.h"

#include <ace/Thread.h>

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

namespace OrbRuntime {

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

}  // namespace OrbRuntime

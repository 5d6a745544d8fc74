// SPDX-License-Identifier: MIT
// A host process for one scenario of the library's life in a process; exits 0
// when the scenario ran through. Usage: process_host SCENARIO HOST LIBRARY
//
// The library is either the shared object, loaded with dlopen, or the same
// code linked in, for the operations that the shared object does not export.
#include "orb_runtime.h"
#include "zorclient.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <thread>

namespace {

using InitCorba = void (*)(const std::string&, int);
using GetNameService = CosNaming::NamingContext_ptr (*)();

CORBA::ORB_ptr processOrb() {
    int noArguments = 0;
    return CORBA::ORB_init(noArguments, nullptr, OrbPlatform::orbInitId(OrbRuntime::kOrbId));
}

// The ids of this process's threads.
std::set<std::string> threadIds() {
    std::set<std::string> ids;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(task.path().filename().string());
    }
    return ids;
}

// Until every thread started since `before` has exited (10 s at most). The
// detached loop thread cannot be joined; a host waits for it this way before
// it exits, or its exit races the ORB's own clean-up.
bool waitForNewThreadsToExit(const std::set<std::string>& before) {
    for (int i = 0; i < 1000; ++i) {
        const std::set<std::string> now = threadIds();
        if (std::includes(before.begin(), before.end(), now.begin(), now.end())) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Loads the shared object, connects through it and checks a context is held.
void* loadAndConnect(const char* library, const std::string& host) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(dlerror());
    }
    const auto init = reinterpret_cast<InitCorba>(dlsym(handle, "initCorba"));
    const auto names = reinterpret_cast<GetNameService>(dlsym(handle, "getNameService"));
    init(host, 0);
    const CosNaming::NamingContext_var ctx = names();
    if (CORBA::is_nil(ctx.in())) {
        throw std::runtime_error("no naming context through the shared object");
    }
    return handle;
}

int run(const std::string& scenario, const std::string& host, const char* library) {
    if (scenario == "exit-while-held") {
        initCorba(host, 0);
        return CORBA::is_nil(CosNaming::NamingContext_var(getNameService())) ? 1 : 0;
    }
    if (scenario == "loop-shutdown-exit") {
        initCorba(host, 0);
        const CORBA::ORB_var orb = OrbRuntime::getOrb();
        const std::set<std::string> before = threadIds();
        if (OrbRuntime::startOrbThread(orb.in()) != 0) {
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (OrbRuntime::shutdownOrb(orb.in()) != 0) {
            return 1;
        }
        return waitForNewThreadsToExit(before) ? 0 : 1;
    }
    if (scenario == "dlclose-while-held") {
        void* handle = loadAndConnect(library, host);
        // Taken before the unload: a fresh ORB_init after a destroy would
        // make a new ORB. BAD_INV_ORDER once shut down, OBJECT_NOT_EXIST once
        // destroyed.
        const CORBA::ORB_var orb = processOrb();
        dlclose(handle);
        orb->work_pending();
        return 0;
    }
    if (scenario == "destroy-then-exit") {
        loadAndConnect(library, host);
        const CORBA::ORB_var orb = processOrb();
        orb->destroy();
        return 0;
    }
    if (scenario == "dlclose-then-destroy") {
        void* handle = loadAndConnect(library, host);
        dlclose(handle);
        const CORBA::ORB_var orb = processOrb();
        orb->destroy();
        return 0;
    }
    std::cerr << "unknown scenario " << scenario << '\n';
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: process_host SCENARIO HOST LIBRARY\n";
        return 2;
    }
    try {
        return run(argv[1], argv[2], argv[3]);
    } catch (const CORBA::Exception& ex) {
        std::cerr << "process_host: CORBA exception " << ex._name() << '\n';
    } catch (const std::exception& ex) {
        std::cerr << "process_host: " << ex.what() << '\n';
    }
    return 1;
}

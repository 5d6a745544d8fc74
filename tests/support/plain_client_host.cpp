// SPDX-License-Identifier: MIT
// A plain client process, the usual host of the library: it links the ORB's
// core only and loads the shared object with dlopen. Exits 0 when its
// scenario ran through.
//
//   plain_client_host HOST LIBRARY
//     resolves through the library, unloads it, goes on with its ORB, exits.
//   plain_client_host HOST LIBRARY SILENT_HOST   (ZORCLIENT_TIMEOUT_MS set)
//     creates its ORB before it loads the library, as hosts of modules do;
//     the library connects and resolves, its calls to the silent listener
//     end within the bound while the host's own call there keeps waiting.
//     Prints "own call waiting" then, and goes on once the listener has
//     closed its connections. Connecting alternately with one address and
//     with two makes the round-trip policy for each per-call bound once.
#if defined(ZORCLIENT_ORB_TAO)
#include <tao/ORB.h>
#include <tao/Object.h>
#include <tao/SystemException.h>
#else
#include <omniORB4/CORBA.h>
#endif

#include "shared_orb_id.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <thread>

namespace {

// The short-lived ORBs the library makes on TAO to build a round-trip policy
// for an ORB made before it was loaded.
std::atomic<int> g_policyOrbs{0};

}  // namespace

#if defined(ZORCLIENT_ORB_TAO)
// In front of TAO's own, for the library's calls too (this program exports it).
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(int& argc, char* argv[],
                                                                      const char* orb_name) {
    using OrbInit = CORBA::ORB_ptr (*)(int&, char**, const char*);
    static const auto real =
        reinterpret_cast<OrbInit>(dlsym(RTLD_NEXT, "_ZN5CORBA8ORB_initERiPPcPKc"));
    if (orb_name != nullptr && std::strcmp(orb_name, "zorclient-round-trip-policy") == 0) {
        ++g_policyOrbs;
    }
    return real(argc, argv, orb_name);
}
#endif

namespace {

using InitCorba = void (*)(const std::string&, int);
using CreateObject = CORBA::Object_ptr (*)(const std::string&, const std::string&,
                                           const std::string&);

CORBA::ORB_ptr sharedOrb() {
    int noArguments = 0;
    return CORBA::ORB_init(noArguments, nullptr, zortest::kSharedOrbId);
}

// The handle, or null with the reason on std::cerr.
void* load(const char* library) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::cerr << "plain_client_host: " << dlerror() << '\n';
    }
    return handle;
}

template <typename Function>
Function entryPoint(void* library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library, name));
}

int unloadAndGoOn(const std::string& host, const char* library) {
    // Another module's ORB library, loaded first: the library must not keep it.
    const char* other = std::getenv("ZORTEST_OTHER_ORB_LIBRARY");
    void* otherHandle = nullptr;
    if (other != nullptr && *other != '\0' && (otherHandle = load(other)) == nullptr) {
        return 1;
    }
    void* handle = load(library);
    if (handle == nullptr) {
        return 1;
    }
    entryPoint<InitCorba>(handle, "initCorba")(host, 0);
    const CORBA::Object_var found = entryPoint<CreateObject>(handle, "createObject")("a", "b", "c");
    if (CORBA::is_nil(found.in())) {
        std::cerr << "plain_client_host: a/b/c did not resolve through the library\n";
        return 1;
    }
    const CORBA::ORB_var orb = sharedOrb();
    dlclose(handle);
    if (dlopen(library, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        std::cerr << "plain_client_host: the library stayed loaded after dlclose\n";
        return 1;
    }
    if (otherHandle != nullptr) {
        dlclose(otherHandle);
        if (dlopen(other, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
            std::cerr << "plain_client_host: another module's ORB library was kept loaded\n";
            return 1;
        }
    }

    // Unloading left the ORB running: BAD_INV_ORDER once shut down,
    // OBJECT_NOT_EXIST once destroyed.
    orb->work_pending();
    if (found->_non_existent()) {
        std::cerr << "plain_client_host: the resolved object is gone\n";
        return 1;
    }
    orb->destroy();
    return 0;
}

int orbFirstWithBound(const std::string& host, const char* library, const std::string& silent) {
    const CORBA::ORB_var orb = sharedOrb();
    void* handle = load(library);
    if (handle == nullptr) {
        return 1;
    }
    const auto init = entryPoint<InitCorba>(handle, "initCorba");
    const auto create = entryPoint<CreateObject>(handle, "createObject");
    init(host, 0);
    const CORBA::Object_var found = create("a", "b", "c");
    if (CORBA::is_nil(found.in())) {
        std::cerr << "plain_client_host: a/b/c did not resolve through the library\n";
        return 1;
    }

    const CORBA::Object_var own =
        orb->string_to_object(("corbaloc:iiop:1.1@" + silent + ":9999/NameService").c_str());
    auto ownCall = std::async(std::launch::async, [&own] {
        try {
            own->_non_existent();
        } catch (const CORBA::SystemException&) {  // the listener closed its connections
        }
    });
    init(silent, 0);  // returns within the bound, or the test's time-out fails the test
    std::this_thread::sleep_for(std::chrono::seconds(1));  // well past the bound
    if (ownCall.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        std::cerr << "plain_client_host: the host's own call was bounded too\n";
        return 1;
    }
    if (CORBA::is_nil(CORBA::Object_var(create("a", "b", "c")).in())) {
        std::cerr << "plain_client_host: the held context was lost\n";
        return 1;
    }
    for (int i = 0; i < 4; ++i) {
        init(host + ":9999,iiop:1.1@" + host, 0);
        init(host, 0);
    }
    if (g_policyOrbs > 2) {  // one per bound: the whole one, and a replica's share
        std::cerr << "plain_client_host: " << g_policyOrbs
                  << " short-lived ORBs for the round-trip policy, one per change of bound\n";
        return 1;
    }
    std::cout << "own call waiting" << std::endl;
    ownCall.get();

    // Whatever the library left in the ORB outlives its unload.
    dlclose(handle);
    if (found->_non_existent()) {
        std::cerr << "plain_client_host: the resolved object is gone\n";
        return 1;
    }
    orb->destroy();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::cerr << "usage: plain_client_host HOST LIBRARY [SILENT_HOST]\n";
        return 2;
    }
    try {
        return argc == 3 ? unloadAndGoOn(argv[1], argv[2])
                         : orbFirstWithBound(argv[1], argv[2], argv[3]);
    } catch (const CORBA::Exception& ex) {
        std::cerr << "plain_client_host: CORBA exception " << ex._name() << '\n';
    }
    return 1;
}

#include "orb_init_counter.h"

#include <omniORB4/CORBA.h>

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace zortest {
namespace {

std::atomic<int> g_calls{0};
std::mutex g_idLock;
std::string g_lastId;

}  // namespace

int orbInitCalls() {
    return g_calls.load();
}

std::string lastOrbInitId() {
    const std::lock_guard<std::mutex> guard(g_idLock);
    return g_lastId;
}

}  // namespace zortest

// Visible, so that the dynamic linker binds the shared object's calls here too.
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(int& argc, char** argv,
                                                                      const char* orb_identifier,
                                                                      const char* options[][2]) {
    using OrbInit = CORBA::ORB_ptr (*)(int&, char**, const char*, const char*[][2]);
    static const auto real =
        reinterpret_cast<OrbInit>(dlsym(RTLD_NEXT, "_ZN5CORBA8ORB_initERiPPcPKcPA2_S4_"));
    ++zortest::g_calls;
    {
        const std::lock_guard<std::mutex> guard(zortest::g_idLock);
        zortest::g_lastId = orb_identifier != nullptr ? orb_identifier : "";
    }
    return real(argc, argv, orb_identifier, options);
}

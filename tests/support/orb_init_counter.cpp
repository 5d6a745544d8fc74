#include "orb_init_counter.h"

#include "orb_platform.h"

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

namespace {

void count(const char* orbIdentifier) {
    ++zortest::g_calls;
    const std::lock_guard<std::mutex> guard(zortest::g_idLock);
    zortest::g_lastId = orbIdentifier != nullptr ? orbIdentifier : "";
}

template <typename Function>
Function realOrbInit(const char* mangledName) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, mangledName));
}

}  // namespace

// Visible, so that the dynamic linker binds the shared object's calls here too.
// Each ORB library declares ORB_init with parameters of its own.
#if defined(ZORCLIENT_ORB_TAO)
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(int& argc, char* argv[],
                                                                      const char* orb_name) {
    using OrbInit = CORBA::ORB_ptr (*)(int&, char**, const char*);
    static const auto real = realOrbInit<OrbInit>("_ZN5CORBA8ORB_initERiPPcPKc");
    count(orb_name);
    return real(argc, argv, orb_name);
}
#else
__attribute__((visibility("default"))) CORBA::ORB_ptr CORBA::ORB_init(int& argc, char** argv,
                                                                      const char* orb_identifier,
                                                                      const char* options[][2]) {
    using OrbInit = CORBA::ORB_ptr (*)(int&, char**, const char*, const char*[][2]);
    static const auto real = realOrbInit<OrbInit>("_ZN5CORBA8ORB_initERiPPcPKcPA2_S4_");
    count(orb_identifier);
    return real(argc, argv, orb_identifier, options);
}
#endif

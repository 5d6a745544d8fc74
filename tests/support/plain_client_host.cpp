// A plain client process, the usual host of the library: it links the ORB's
// core only, loads the shared object with dlopen, resolves through it,
// unloads it, goes on with its own ORB and exits. Exits 0 when all of that
// ran through. Usage: plain_client_host HOST LIBRARY
#if defined(ZORCLIENT_ORB_TAO)
#include <tao/ORB.h>
#include <tao/Object.h>
#include <tao/SystemException.h>
#else
#include <omniORB4/CORBA.h>
#endif

#include "shared_orb_id.h"

#include <dlfcn.h>

#include <iostream>
#include <string>

namespace {

using InitCorba = void (*)(const std::string&, int);
using CreateObject = CORBA::Object_ptr (*)(const std::string&, const std::string&,
                                           const std::string&);

int run(const std::string& host, const char* library) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::cerr << "plain_client_host: " << dlerror() << '\n';
        return 1;
    }
    const auto init = reinterpret_cast<InitCorba>(dlsym(handle, "initCorba"));
    const auto create = reinterpret_cast<CreateObject>(dlsym(handle, "createObject"));
    init(host, 0);
    const CORBA::Object_var found = create("a", "b", "c");
    if (CORBA::is_nil(found.in())) {
        std::cerr << "plain_client_host: a/b/c did not resolve through the library\n";
        return 1;
    }
    int noArguments = 0;
    const CORBA::ORB_var orb = CORBA::ORB_init(noArguments, nullptr, zortest::kSharedOrbId);
    dlclose(handle);
    if (dlopen(library, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
        std::cerr << "plain_client_host: the library stayed loaded after dlclose\n";
        return 1;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: plain_client_host HOST LIBRARY\n";
        return 2;
    }
    try {
        return run(argv[1], argv[2]);
    } catch (const CORBA::Exception& ex) {
        std::cerr << "plain_client_host: CORBA exception " << ex._name() << '\n';
    }
    return 1;
}

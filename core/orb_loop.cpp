// SPDX-License-Identifier: MIT
// The ORB event loop on a thread of its own, its shutdown, and the root POA.
// The only code of the library that writes diagnostics.
#include "orb_runtime.h"

#include <iostream>

namespace OrbRuntime {
namespace {

void reportSystemException(const CORBA::SystemException& ex) {
    std::cerr << OrbPlatform::systemExceptionText(ex) << std::endl;
}

// ACE hands a thread's status back as a pointer.
ACE_THR_FUNC_RETURN threadResult(long value) {
    return reinterpret_cast<ACE_THR_FUNC_RETURN>(value);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace

int startOrbThread(CORBA::ORB_ptr orb) {
    if (CORBA::is_nil(orb)) {
        return -1;
    }
    const int spawned =
        ACE_Thread::spawn(runOrbLoop, orb, THR_DETACHED, nullptr, nullptr, 0, nullptr, 0, nullptr);
    return spawned == -1 ? -1 : 0;
}

ACE_THR_FUNC_RETURN runOrbLoop(void* arg) {
    auto* const orb = static_cast<CORBA::ORB_ptr>(arg);
    if (CORBA::is_nil(orb)) {
        return threadResult(-1);
    }
    try {
        orb->run();
        return threadResult(0);
    } catch (const CORBA::SystemException& ex) {
        reportSystemException(ex);
        return threadResult(-1);
    }
}

int shutdownOrb(CORBA::ORB_ptr orb) {
    if (CORBA::is_nil(orb)) {
        return -1;
    }
    try {
        orb->shutdown(false);
        return 0;
    } catch (const CORBA::SystemException& ex) {
        reportSystemException(ex);
        return -1;
    }
}

PortableServer::POA_ptr getRootPoa(CORBA::ORB_ptr orb) {
    if (CORBA::is_nil(orb)) {
        return PortableServer::POA::_nil();
    }
    const CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
    try {
        PortableServer::POA_var poa = PortableServer::POA::_narrow(object.in());
        if (CORBA::is_nil(poa.in())) {
            return PortableServer::POA::_nil();
        }
        return poa._retn();
    } catch (const CORBA::SystemException&) {
        return PortableServer::POA::_nil();
    }
}

}  // namespace OrbRuntime

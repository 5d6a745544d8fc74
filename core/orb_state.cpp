// SPDX-License-Identifier: MIT
// The process-wide ORB and naming-context slots and ORB start-up.
#include "orb_runtime.h"

#include <ace/ARGV.h>
#include <ace/Guard_T.h>

namespace OrbRuntime {
namespace {

// Constructed in this order at load and destroyed in reverse at unload: the
// locks go first, then the held references are released. Unloading never
// shuts the ORB down.
[[maybe_unused]] const int g_portableServer = OrbPlatform::registerPortableServer();
CORBA::ORB_var g_orb = CORBA::ORB::_nil();
CosNaming::NamingContext_var g_namingContext = CosNaming::NamingContext::_nil();
ACE_Thread_Mutex g_orbLock;
ACE_Thread_Mutex g_namingLock;

}  // namespace

ACE_Thread_Mutex g_initLock;

CORBA::ORB_ptr createOrb(int& argc, char** argv, const char* orbId) {
    return CORBA::ORB_init(argc, argv, orbId);
}

void setOrb(CORBA::ORB_ptr orb) {
    ACE_Guard<ACE_Thread_Mutex> guard(g_orbLock);
    if (!CORBA::is_nil(orb)) {
        g_orb = CORBA::ORB::_duplicate(orb);
    }
}

CORBA::ORB_ptr getOrb() {
    ACE_Guard<ACE_Thread_Mutex> guard(g_orbLock);
    return CORBA::ORB::_duplicate(g_orb.in());
}

void setNamingContext(CosNaming::NamingContext_ptr ctx) {
    ACE_Guard<ACE_Thread_Mutex> guard(g_namingLock);
    if (!CORBA::is_nil(ctx)) {
        g_namingContext = CosNaming::NamingContext::_duplicate(ctx);
    }
}

CosNaming::NamingContext_ptr getNamingContext() {
    ACE_Guard<ACE_Thread_Mutex> guard(g_namingLock);
    return CosNaming::NamingContext::_duplicate(g_namingContext.in());
}

int initOrb() {
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CORBA::ORB_var current = getOrb();
    if (!CORBA::is_nil(current.in())) {
        return 1;
    }
    readSettings();
    ACE_ARGV noArguments(true);
    int count = noArguments.argc();
    const CORBA::ORB_var holder =
        createOrb(count, noArguments.argv(), OrbPlatform::orbInitId(kOrbId));
    if (CORBA::is_nil(holder.in())) {
        return -1;
    }
    setOrb(holder.in());
    return 0;
}

int adoptOrb(CORBA::ORB_ptr orb) {
    if (CORBA::is_nil(orb)) {
        return -1;
    }
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CORBA::ORB_var current = getOrb();
    if (!CORBA::is_nil(current.in())) {
        return 1;
    }
    readSettings();
    setOrb(orb);
    return 0;
}

}  // namespace OrbRuntime

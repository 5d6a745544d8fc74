// SPDX-License-Identifier: MIT
// The process-wide ORB and naming-context slots and ORB start-up.
#include "orb_runtime.h"

#include <ace/ARGV.h>
#include <ace/Guard_T.h>

#include <pthread.h>

#include <atomic>

namespace OrbRuntime {
namespace {

[[maybe_unused]] const int g_portableServer = OrbPlatform::registerPortableServer();

struct Slots {
    ACE_Thread_Mutex orbLock;
    ACE_Thread_Mutex namingLock;
    CORBA::ORB_var orb;
    CosNaming::NamingContext_var namingContext;
};

void releaseReferences(Slots& slots) {
    {
        const ACE_Guard<ACE_Thread_Mutex> guard(slots.orbLock);
        slots.orb = CORBA::ORB::_nil();
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(slots.namingLock);
    slots.namingContext = CosNaming::NamingContext::_nil();
}

Lasting<Slots> g_lastingSlots;
Slots& g_slots = g_lastingSlots.state;

// Set once the library begins to make or adopt its ORB, before the ORB
// library is called: a fork from then on leaves the ORB to the parent.
std::atomic<bool> g_orbBegun{false};
std::atomic<bool> g_orbLeftInParent{false};

// Runs in the child, where the forking thread is the only one.
void leaveOrbInParent() {
    g_orbLeftInParent.store(g_orbBegun.load());
}

[[maybe_unused]] const int g_forkHandler = pthread_atfork(nullptr, nullptr, leaveOrbInParent);

}  // namespace

ACE_Thread_Mutex g_initLock;

CORBA::ORB_ptr createOrb(int& argc, char** argv, const char* orbId) {
    return CORBA::ORB_init(argc, argv, orbId);
}

bool orbLeftInParent() {
    return g_orbLeftInParent.load(std::memory_order_relaxed);
}

void setOrb(CORBA::ORB_ptr orb) {
    if (orbLeftInParent()) {
        return;
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_slots.orbLock);
    if (!CORBA::is_nil(orb)) {
        g_slots.orb = CORBA::ORB::_duplicate(orb);
    }
}

CORBA::ORB_ptr getOrb() {
    if (orbLeftInParent()) {
        return CORBA::ORB::_nil();
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_slots.orbLock);
    return CORBA::ORB::_duplicate(g_slots.orb.in());
}

void setNamingContext(CosNaming::NamingContext_ptr ctx) {
    if (orbLeftInParent()) {
        return;
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_slots.namingLock);
    if (!CORBA::is_nil(ctx)) {
        g_slots.namingContext = CosNaming::NamingContext::_duplicate(ctx);
    }
}

CosNaming::NamingContext_ptr getNamingContext() {
    if (orbLeftInParent()) {
        return CosNaming::NamingContext::_nil();
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_slots.namingLock);
    return CosNaming::NamingContext::_duplicate(g_slots.namingContext.in());
}

int initOrb() {
    if (orbLeftInParent()) {
        return -1;
    }
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CORBA::ORB_var current = getOrb();
    if (!CORBA::is_nil(current.in())) {
        return 1;
    }
    g_orbBegun.store(true);
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
    if (CORBA::is_nil(orb) || orbLeftInParent()) {
        return -1;
    }
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CORBA::ORB_var current = getOrb();
    if (!CORBA::is_nil(current.in())) {
        return 1;
    }
    g_orbBegun.store(true);
    readSettings();
    setOrb(orb);
    return 0;
}

}  // namespace OrbRuntime

// SPDX-License-Identifier: MIT
// The three exported entry points.
#include "orb_runtime.h"
#include "zorclient.h"

#include <atomic>

namespace {

[[maybe_unused]] const int g_portableServer = OrbPlatform::registerPortableServer();

// Set once ORB start-up has returned normally; tested without a lock, so two
// first calls may both reach initOrb, which serialises them.
std::atomic<bool> g_corbaInitialized{false};

}  // namespace

// In a child forked after the library started its ORB, each entry point
// says so and gives nothing, before it touches a lock or the ORB.
void initCorba(const std::string& host, int reserved) {
    if (OrbRuntime::orbLeftInParent()) {
        OrbRuntime::traceConnecting(host, OrbRuntime::kOrbLeftInParent);
        return;
    }
    if (!g_corbaInitialized.load()) {
        OrbRuntime::initOrb();
        g_corbaInitialized.store(true);
    }
    const CORBA::ORB_var orb = OrbRuntime::getOrb();
    if (!CORBA::is_nil(orb.in())) {
        const CosNaming::NamingContext_var ctx =
            OrbRuntime::connectNamingService(orb.in(), host, reserved);
        OrbRuntime::setNamingContext(ctx.in());
    }
}

CosNaming::NamingContext_ptr getNameService() {
    if (OrbRuntime::orbLeftInParent()) {
        OrbRuntime::traceHandingOut(OrbRuntime::kOrbLeftInParent);
        return CosNaming::NamingContext::_nil();
    }
    return OrbRuntime::getNamingContext();
}

CORBA::Object_ptr createObject(const std::string& first, const std::string& second,
                               const std::string& third) {
    if (OrbRuntime::orbLeftInParent()) {
        OrbRuntime::traceResolving(first, second, third, OrbRuntime::kOrbLeftInParent);
        return CORBA::Object::_nil();
    }
    return OrbRuntime::resolveObject(first, second, third);
}

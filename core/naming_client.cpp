// The naming-service client: connecting by corbaloc URL, the check-then-store
// of the naming slot, and three-part name resolution.
#include "orb_runtime.h"

#include <ace/Guard_T.h>

namespace OrbRuntime {
namespace {

// A NUL would end the text early on its way into the ORB: the URL would lose
// its port and key, a name would lose the rest of its id.
bool hasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

}  // namespace

std::string namingServiceUrl(const std::string& host) {
    std::string url = "corbaloc:iiop:1.1@";
    url += host;
    url += ':';
    url += "9999";
    url += "/NameService";
    return url;
}

CosNaming::Name makeName(const std::string& first, const std::string& second,
                         const std::string& third) {
    CosNaming::Name name;
    name.length(3);
    name[0].id = CORBA::string_dup(first.c_str());
    name[1].id = CORBA::string_dup(second.c_str());
    name[2].id = CORBA::string_dup(third.c_str());
    return name;
}

CosNaming::NamingContext_ptr connectNamingService(CORBA::ORB_ptr orb, const std::string& host,
                                                  int /*reserved*/) {
    if (CORBA::is_nil(orb) || hasNul(host)) {
        return CosNaming::NamingContext::_nil();
    }
    try {
        const CORBA::Object_var object = orb->string_to_object(namingServiceUrl(host).c_str());
        if (CORBA::is_nil(object.in())) {
            return CosNaming::NamingContext::_nil();
        }
        return CosNaming::NamingContext::_narrow(object.in());
    } catch (const CORBA::ORB::InvalidName&) {
        return CosNaming::NamingContext::_nil();
    } catch (...) {
        return CosNaming::NamingContext::_nil();
    }
}

int adoptNamingContext(CosNaming::NamingContext_ptr ctx) {
    if (CORBA::is_nil(ctx)) {
        return -1;
    }
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CosNaming::NamingContext_var held = getNamingContext();
    if (!CORBA::is_nil(held.in())) {
        return 1;
    }
    setNamingContext(ctx);
    return 0;
}

int initNamingService(const std::string& host, int reserved) {
    ACE_Guard<ACE_Thread_Mutex> guard(g_initLock);
    const CosNaming::NamingContext_var held = getNamingContext();
    if (!CORBA::is_nil(held.in())) {
        return 1;
    }
    const CORBA::ORB_var orb = getOrb();
    if (CORBA::is_nil(orb.in())) {
        return -1;
    }
    const CosNaming::NamingContext_var ctx = connectNamingService(orb.in(), host, reserved);
    if (CORBA::is_nil(ctx.in())) {
        return -2;
    }
    setNamingContext(ctx.in());
    return 0;
}

CORBA::Object_ptr resolveName(CosNaming::NamingContext_ptr ctx, const std::string& first,
                              const std::string& second, const std::string& third) {
    if (CORBA::is_nil(ctx) || hasNul(first) || hasNul(second) || hasNul(third)) {
        return CORBA::Object::_nil();
    }
    try {
        return ctx->resolve(makeName(first, second, third));
    } catch (const CosNaming::NamingContext::NotFound&) {
        return CORBA::Object::_nil();
    } catch (const CosNaming::NamingContext::CannotProceed&) {
        return CORBA::Object::_nil();
    } catch (const CosNaming::NamingContext::InvalidName&) {
        return CORBA::Object::_nil();
    } catch (...) {
        return CORBA::Object::_nil();
    }
}

CORBA::Object_ptr resolveObject(const std::string& first, const std::string& second,
                                const std::string& third) {
    const CosNaming::NamingContext_var ctx = getNamingContext();
    if (CORBA::is_nil(ctx.in())) {
        return CORBA::Object::_nil();
    }
    return resolveName(ctx.in(), first, second, third);
}

}  // namespace OrbRuntime

// SPDX-License-Identifier: MIT
// The naming-service client: connecting, the check-then-store of the naming
// slot, and three-part name resolution.
#include "orb_runtime.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <cxxabi.h>

#include <string>
#include <vector>

namespace OrbRuntime {
namespace {

// With several attempts, the trace names each and what it answered; with
// one, the reason is the exception being handled.
const char* attemptsOrException(const std::string& attempts) {
    return attempts.find("; ") != std::string::npos ? attempts.c_str() : nullptr;
}

// The trace of a failed connection, names of the host text that were left
// out first. Call it only inside a handler.
void traceFailedConnection(const std::string& host, const std::string& leftOut,
                           const std::string& attempts) noexcept {
    if (leftOut.empty() || !tracing()) {
        traceConnecting(host, attemptsOrException(attempts));
        return;
    }
    try {
        const char* reason = attemptsOrException(attempts);
        traceConnecting(
            host, (leftOut + "; " + (reason != nullptr ? reason : currentExceptionText())).c_str());
    } catch (...) {  // NOLINT(bugprone-empty-catch): a diagnostic never fails its call
    }
}

}  // namespace

CosNaming::Name makeName(const std::string& first, const std::string& second,
                         const std::string& third) {
    CosNaming::Name name;
    name.length(3);
    name[0].id = CORBA::string_dup(first.c_str());
    name[1].id = CORBA::string_dup(second.c_str());
    name[2].id = CORBA::string_dup(third.c_str());
    return name;
}

ZORCLIENT_LETS_CANCELLATION_THROUGH
CosNaming::NamingContext_ptr connectNamingService(CORBA::ORB_ptr orb, const std::string& host,
                                                  int /*reserved*/) {
    if (CORBA::is_nil(orb)) {
        return CosNaming::NamingContext::_nil();
    }
    std::string attempts;
    std::string leftOut;
    try {
        // Resolving names and the attempts share one deadline.
        const Deadline deadline = callDeadline();
        const ConnectionPlan plan = planConnection(host, deadline, leftOut);
        if (plan.addresses.empty()) {
            traceConnecting(host, leftOut.c_str());
            return CosNaming::NamingContext::_nil();
        }
        CosNaming::NamingContext_var ctx = connectReplicas(orb, plan, deadline, attempts);
        if (CORBA::is_nil(ctx.in())) {
            traceConnecting(host, "the object there is not a naming context");
        }
        return ctx._retn();
    } catch (const abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind on through the caller
    } catch (const CORBA::ORB::InvalidName&) {
        traceFailedConnection(host, leftOut, attempts);
        return CosNaming::NamingContext::_nil();
    } catch (...) {
        traceFailedConnection(host, leftOut, attempts);
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

ZORCLIENT_LETS_CANCELLATION_THROUGH
CORBA::Object_ptr resolveName(CosNaming::NamingContext_ptr ctx, const std::string& first,
                              const std::string& second, const std::string& third) {
    if (CORBA::is_nil(ctx)) {
        traceResolving(first, second, third, "no naming context is held");
        return CORBA::Object::_nil();
    }
    if (hasNul(first) || hasNul(second) || hasNul(third)) {
        traceResolving(first, second, third, "a text holds a NUL byte");
        return CORBA::Object::_nil();
    }
    std::string attempts;
    try {
        const CosNaming::Name name = makeName(first, second, third);
        if (!hasReplicas(ctx)) {
            return OrbPlatform::cancellationSafe(
                       [&] { return CORBA::Object_var(ctx->resolve(name)); })
                ._retn();
        }
        return resolveOnReplicas(ctx, name, callDeadline(), attempts);
    } catch (const abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind on through the caller
    } catch (const CosNaming::NamingContext::NotFound&) {
        traceResolving(first, second, third, attemptsOrException(attempts));
        return CORBA::Object::_nil();
    } catch (const CosNaming::NamingContext::CannotProceed&) {
        traceResolving(first, second, third, attemptsOrException(attempts));
        return CORBA::Object::_nil();
    } catch (const CosNaming::NamingContext::InvalidName&) {
        traceResolving(first, second, third, attemptsOrException(attempts));
        return CORBA::Object::_nil();
    } catch (...) {
        traceResolving(first, second, third, attemptsOrException(attempts));
        return CORBA::Object::_nil();
    }
}

CORBA::Object_ptr resolveObject(const std::string& first, const std::string& second,
                                const std::string& third) {
    const CosNaming::NamingContext_var ctx = getNamingContext();
    return resolveName(ctx.in(), first, second, third);
}

}  // namespace OrbRuntime

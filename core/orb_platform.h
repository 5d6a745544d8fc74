// SPDX-License-Identifier: MIT
// The one place that chooses which ORB the library runs on. Everything else
// uses the standard CORBA C++ mapping and the few operations each ORB's
// header below (TAO's with one header per concern beside it) provides in
// namespace OrbPlatform:
//
//   orbInitId(id)              the identifier handed to CORBA::ORB_init
//   registerPortableServer()   at load: the root POA for the library's ORB
//   systemExceptionText(ex)    _info() of a system exception, as a string
//   shortSystemExceptionText(ex)  its name and minor reason, for one line
//   kReachesIpv6               whether the ORB build can use IPv6 addresses
//   withCallTimeout<I>(orb, ref, ms)
//                              a new reference to the same object whose calls
//                              give up after `ms`; throws if the ORB cannot
//   cancellationSafe(call)     runs a remote call so that a cancelled thread
//                              never leaves the ORB broken; returns its _var
#ifndef ZORCLIENT_CORE_ORB_PLATFORM_H
#define ZORCLIENT_CORE_ORB_PLATFORM_H

// For functions that catch everything but let thread cancellation through
// with `catch (const abi::__forced_unwind&) { throw; }`: that exception has
// no object, and UBSan's null check wrongly flags the handler's reference.
#define ZORCLIENT_LETS_CANCELLATION_THROUGH __attribute__((no_sanitize("null")))

#if defined(ZORCLIENT_ORB_TAO)
#include "platform/tao.h"
#else
#include "platform/omniorb.h"
#endif

#endif

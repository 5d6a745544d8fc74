// SPDX-License-Identifier: MIT
// zorclient: a ready CORBA client for the modules of a process.
//
// One process-wide ORB, a naming context on a host the caller names (always
// port 9999), and three-part names resolved into object references.
//
//   initCorba("ns.example", 0);                      // once or more
//   CORBA::Object_var obj = createObject("a", "b", "c");
//   if (!CORBA::is_nil(obj)) { ... }
//
// Every reference these functions return is new: the caller releases it,
// most simply by holding it in a _var. Failures are reported as nil.
#ifndef ZORCLIENT_H
#define ZORCLIENT_H

// Built on omniORB by default; a TAO build defines ZORCLIENT_ORB_TAO for its
// users through its CMake target and pkg-config file.
#if defined(ZORCLIENT_ORB_TAO)
#include <orbsvcs/CosNamingC.h>
#include <tao/ORB.h>
#else
#include <omniORB4/CORBA.h>
#include <omniORB4/Naming.hh>
#endif

#include <string>

#if defined(ZORCLIENT_BUILDING)
#define ZORCLIENT_EXPORT __attribute__((visibility("default")))
#else
#define ZORCLIENT_EXPORT
#endif

extern "C" {

// Starts the process-wide ORB on the first call, then connects to the naming
// service at corbaloc:iiop:1.1@<host>:9999/NameService and holds that context.
// Every call connects afresh; a failed connection keeps the context held
// before. Reports nothing: check getNameService(). Only an exception thrown by
// the ORB library while it creates the ORB can reach the caller, and the next
// call then tries again. `reserved` is accepted and ignored.
ZORCLIENT_EXPORT void initCorba(const std::string& host, int reserved);

// The held naming context, nil if none is held yet.
ZORCLIENT_EXPORT CosNaming::NamingContext_ptr getNameService();

// Resolves the name first/second/third (ids only, empty kinds) on the held
// context. Nil if no context is held, the name is not bound, or the call fails.
ZORCLIENT_EXPORT CORBA::Object_ptr createObject(const std::string& first, const std::string& second,
                                                const std::string& third);
}

#endif

// SPDX-License-Identifier: MIT
// Binds an object under a three-part name, creating the two naming contexts
// on the way when they do not exist yet. Used by the example server and by
// the tests to fill a naming service, and by the tests and benchmarks to
// build names by hand, as a caller without zorclient would.
#ifndef ZORCLIENT_EXAMPLES_BIND_PATH_H
#define ZORCLIENT_EXAMPLES_BIND_PATH_H

#include "zorclient.h"

#include <string>

namespace zorexample {

inline CosNaming::Name singleName(const std::string& id) {
    CosNaming::Name name;
    name.length(1);
    name[0].id = CORBA::string_dup(id.c_str());
    return name;
}

inline CosNaming::Name threePartName(const char* first, const char* second, const char* third) {
    CosNaming::Name name;
    name.length(3);
    name[0].id = CORBA::string_dup(first);
    name[1].id = CORBA::string_dup(second);
    name[2].id = CORBA::string_dup(third);
    return name;
}

inline void bindPath(CosNaming::NamingContext_ptr root, const std::string& first,
                     const std::string& second, const std::string& third,
                     CORBA::Object_ptr object) {
    CosNaming::NamingContext_var context = CosNaming::NamingContext::_duplicate(root);
    for (const std::string* id : {&first, &second}) {
        const CosNaming::Name step = singleName(*id);
        try {
            context = context->bind_new_context(step);
        } catch (const CosNaming::NamingContext::AlreadyBound&) {
            const CORBA::Object_var existing = context->resolve(step);
            context = CosNaming::NamingContext::_narrow(existing.in());
        }
    }
    context->rebind(singleName(third), object);
}

// Removes the binding of the object only; the contexts stay for others.
inline void unbindPath(CosNaming::NamingContext_ptr root, const std::string& first,
                       const std::string& second, const std::string& third) {
    CosNaming::Name name;
    name.length(3);
    name[0].id = CORBA::string_dup(first.c_str());
    name[1].id = CORBA::string_dup(second.c_str());
    name[2].id = CORBA::string_dup(third.c_str());
    root->unbind(name);
}

}  // namespace zorexample

#endif

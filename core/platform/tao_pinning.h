// SPDX-License-Identifier: MIT
// TAO: what the library and the ORB libraries it needs keep loaded, and why;
// part of OrbPlatform, included through orb_platform.h only.
#ifndef ZORCLIENT_CORE_PLATFORM_TAO_PINNING_H
#define ZORCLIENT_CORE_PLATFORM_TAO_PINNING_H

#include <tao/PortableServer/PortableServer.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>

namespace OrbPlatform {

// The object (shared object or program) that holds `code`, kept loaded for
// the rest of the process.
inline void pinObjectOf(const void* code) {
    Dl_info info{};
    if (dladdr(code, &info) != 0 && info.dli_fname != nullptr) {
        dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);  // never closed
    }
}

// The sonames of the TAO and ACE libraries that the object holding this very
// function names as its own dependencies.
inline void pinOwnOrbDependencies() {
    Dl_info info{};
    link_map* self = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&pinOwnOrbDependencies), &info,
                reinterpret_cast<void**>(&self), RTLD_DL_LINKMAP) == 0 ||
        self == nullptr) {
        return;
    }
    const char* strings = nullptr;
    for (const ElfW(Dyn)* entry = self->l_ld; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag == DT_STRTAB) {
            // Most loaders relocate the dynamic section in place, some do not.
            ElfW(Addr) address = entry->d_un.d_ptr;
            if (address < self->l_addr) {
                address += self->l_addr;
            }
            strings = reinterpret_cast<const char*>(address);  // NOLINT(performance-no-int-to-ptr)
        }
    }
    if (strings == nullptr) {
        return;
    }
    for (const ElfW(Dyn)* entry = self->l_ld; entry->d_tag != DT_NULL; ++entry) {
        if (entry->d_tag != DT_NEEDED) {
            continue;
        }
        const char* soname = strings + entry->d_un.d_val;
        if (std::strncmp(soname, "libTAO", 6) == 0 || std::strncmp(soname, "libACE", 6) == 0) {
            dlopen(soname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);  // never closed
        }
    }
}

// Makes the root POA available to the ORB the library creates. What the ORB
// libraries the library depends on register lives in ACE's process-wide
// service repository and is finalised at process exit, so those libraries
// (and what they need in turn) stay mapped even after the library itself has
// been unloaded. Other modules' ORB libraries are left as they are.
inline int registerPortableServer() {
    static const bool pinned = (pinOwnOrbDependencies(), true);
    static_cast<void>(pinned);
    return TAO_POA_Initializer::init();
}

}  // namespace OrbPlatform

#endif

// SPDX-License-Identifier: MIT
// What the resolver answered, in the library's words: the addresses it
// found as the library writes them, or why a name has none.
#include "orb_runtime.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace OrbRuntime {

std::vector<std::string> addressTexts(const addrinfo* found) {
    std::vector<std::string> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET6 && !OrbPlatform::kReachesIpv6) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = entry->ai_family == AF_INET6
                                  ? static_cast<const void*>(
                                        &reinterpret_cast<sockaddr_in6*>(entry->ai_addr)->sin6_addr)
                                  : static_cast<const void*>(
                                        &reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr);
        if (inet_ntop(entry->ai_family, address, text, sizeof text) == nullptr) {
            continue;
        }
        const std::string written =
            entry->ai_family == AF_INET6 ? "[" + std::string(text) + "]" : text;
        if (std::find(addresses.begin(), addresses.end(), written) == addresses.end()) {
            addresses.push_back(written);
        }
    }
    return addresses;
}

std::string lookupFailure(const std::string& name, int status) {
    if (status == EAI_INPROGRESS) {
        return "the name " + name + " could not be resolved in time (" + kCallTimeoutVariable +
               "=" + std::to_string(callTimeoutMs()) + ")";
    }
    if (status == EAI_SYSTEM) {
        return "the name " + name + " could not be resolved: no thread could be started for it";
    }
    return "the name " + name + " could not be resolved: " + gai_strerror(status);
}

}  // namespace OrbRuntime

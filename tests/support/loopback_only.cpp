// SPDX-License-Identifier: MIT
// Keeps every test process on loopback: name look-ups of anything but a
// literal 127.0.0.0/8 or ::1 address, or a name that /etc/hosts gives (a
// test's private one among them) loopback addresses for, fail at once
// instead of asking a DNS server, and connections elsewhere are refused. Stands in front of the C
// library for the ORB library's and zorclient's calls (the test executables
// export it). A process in a network namespace of its own, where loopback
// is all there is, may ask its own DNS server there.
// Servants listen on loopback too, and so publish loopback addresses.
#include "support/cut_off.h"
#include "support/stand_ins.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

bool isLoopbackLiteral(const char* host) {
    in_addr v4{};
    if (inet_pton(AF_INET, host, &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, host, &v6) == 1 &&
           std::memcmp(&v6, &in6addr_loopback, sizeof v6) == 0;
}

bool isLoopbackAddress(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        return std::memcmp(&v6->sin6_addr, &in6addr_loopback, sizeof v6->sin6_addr) == 0;
    }
    return true;  // local sockets
}

// Before main, so before any ORB reads its environment; each ORB reads only
// its own variable. Child processes inherit them.
[[maybe_unused]] const bool g_loopbackEndpoints = [] {
    setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 0);
    setenv("TAO_ORBENDPOINT", "iiop://127.0.0.1:0", 0);
    return true;
}();

// Listed in /etc/hosts, which the resolver reads before it asks any server.
bool inHostsFile(const char* name) {
    FILE* hosts = std::fopen("/etc/hosts", "r");
    if (hosts == nullptr) {
        return false;
    }
    char line[1024];
    bool listed = false;
    while (!listed && std::fgets(line, sizeof line, hosts) != nullptr) {
        char* context = nullptr;
        const char* address = strtok_r(line, " \t\n", &context);
        for (const char* alias = address != nullptr ? strtok_r(nullptr, " \t\n", &context)
                                                    : nullptr;
             alias != nullptr && *address != '#'; alias = strtok_r(nullptr, " \t\n", &context)) {
            listed = listed || std::strcmp(alias, name) == 0;
        }
    }
    std::fclose(hosts);
    return listed;
}

bool mayLookUp(const char* node) {
    return node == nullptr || isLoopbackLiteral(node) || inHostsFile(node) ||
           zortest::inPrivateNetwork();
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Never destroyed: a thread of the library's may look a name up after exit
// has begun.
std::mutex& g_lookupsLock = *new std::mutex;
std::map<std::string, int>& g_lookups = *new std::map<std::string, int>;
std::atomic<int> g_lookupDelayMs{0};

}  // namespace

namespace zortest {

int nameLookups(const std::string& name) {
    const std::lock_guard<std::mutex> guard(g_lookupsLock);
    return g_lookups[name];
}

void delayNameLookups(int milliseconds) {
    g_lookupDelayMs = milliseconds;
}

}  // namespace zortest

extern "C" {

__attribute__((visibility("default"))) int getaddrinfo(const char* node, const char* service,
                                                       const addrinfo* hints, addrinfo** res) {
    if (node != nullptr) {
        const std::lock_guard<std::mutex> guard(g_lookupsLock);
        ++g_lookups[node];
    }
    if (g_lookupDelayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(g_lookupDelayMs.load()));
    }
    if (!mayLookUp(node)) {
        return EAI_NONAME;
    }
    static const auto real =
        next<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>("getaddrinfo");
    const int status = real(node, service, hints, res);
    for (const addrinfo* entry = status == 0 ? *res : nullptr; entry != nullptr;
         entry = entry->ai_next) {
        if (!isLoopbackAddress(entry->ai_addr)) {
            freeaddrinfo(*res);
            *res = nullptr;
            return EAI_NONAME;
        }
    }
    return status;
}

__attribute__((visibility("default"))) hostent* gethostbyname(const char* /*name*/) {
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}

__attribute__((visibility("default"))) int gethostbyname_r(const char* /*name*/, hostent* /*ret*/,
                                                           char* /*buf*/, size_t /*buflen*/,
                                                           hostent** result, int* error) {
    *result = nullptr;
    *error = HOST_NOT_FOUND;
    return 0;
}

__attribute__((visibility("default"))) int connect(int socket, const sockaddr* address,
                                                   socklen_t length) {
    if (!isLoopbackAddress(address)) {
        errno = ENETUNREACH;
        return -1;
    }
    static const auto real = next<int (*)(int, const sockaddr*, socklen_t)>("connect");
    return real(socket, address, length);
}
}

// SPDX-License-Identifier: MIT
// Host texts: what the caller may write, and what to connect to for it. A
// text of several entries names replicas; a name is resolved here, once and
// within the bound, into the addresses the ORB is given.
#include "orb_runtime.h"

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace OrbRuntime {
namespace {

using Clock = Deadline::clock;
using Urls = std::vector<std::pair<std::string, std::string>>;

// Its colons would otherwise read as the port's separator.
bool isBareIpv6(const std::string& host) {
    in6_addr address{};
    return !hasNul(host) && inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

bool isIpv6(const std::string& host) {
    return isBareIpv6(host) || (host.size() > 2 && host.front() == '[' && host.back() == ']' &&
                                isBareIpv6(host.substr(1, host.size() - 2)));
}

bool isIpv4(const std::string& host) {
    in_addr address{};
    return !hasNul(host) && inet_pton(AF_INET, host.c_str(), &address) == 1;
}

// A name the resolver may be asked for: letters, digits, '-', '_' and dots.
bool isName(const std::string& host) {
    return !host.empty() && !isIpv4(host) && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' || c == '.';
    });
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    return text.size() >= length &&
           std::equal(prefix, prefix + length, text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// The entries of a host text that names several addresses, in order; none
// for a text of one entry, which goes into the URL as it stands.
std::vector<std::string> hostEntries(const std::string& host) {
    std::vector<std::string> entries;
    if (host.find(',') == std::string::npos) {
        return entries;
    }
    std::size_t start = 0;
    for (std::size_t end = host.find(','); end != std::string::npos; end = host.find(',', start)) {
        entries.push_back(host.substr(start, end - start));
        start = end + 1;
    }
    entries.push_back(host.substr(start));
    return entries;
}

// An entry after the first carries its protocol, "iiop:" or ":", and maybe a
// version ("1.1@"); the first comes after the URL's own. Its length, or 0.
std::size_t protocolLength(const std::string& entry) {
    static const char* const protocols[] = {"iiop:", ":"};
    const char* const* protocol =
        std::find_if(std::begin(protocols), std::end(protocols),
                     [&entry](const char* written) { return startsWithNoCase(entry, written); });
    if (protocol == std::end(protocols)) {
        return 0;
    }
    const std::size_t length = std::strlen(*protocol);
    const std::size_t version = entry.find('@', length);
    return version == std::string::npos ? length : version + 1;
}

// An entry's address as the trace names it: the entry less its protocol
// and its port (after "]" for an IPv6 address, after the one colon else).
std::string entryAddress(const std::string& entry, std::size_t i) {
    std::string address = i == 0 ? entry : entry.substr(protocolLength(entry));
    const std::size_t port = address.rfind(':');
    if (port != std::string::npos && port > 0 &&
        (address[0] == '[' ? address[port - 1] == ']' : address.find(':') == port)) {
        address.erase(port);
    }
    return address;
}

// The text written as the library reads it: each entry after the first with
// its protocol, the first with its port.
std::string rewritten(const std::vector<std::string>& entries) {
    std::string text;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& entry = entries[i];
        if (i == 0) {
            text = entry.find(':') == std::string::npos ? entry + ":9999" : entry;
        } else {
            text += "," + (protocolLength(entry) == 0 ? "iiop:1.1@" + entry : entry);
        }
    }
    return text;
}

std::string entriesProblem(const std::vector<std::string>& entries) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // An empty host is read as this machine, and after a trailing comma
        // the appended ":9999" reads as a host of its own.
        const std::string address = entryAddress(entries[i], i);
        if (address.empty() || address[0] == ':') {
            return "an entry of the host text names no address";
        }
    }
    if (protocolLength(entries[0]) != 0) {
        return "the library writes the protocol (iiop:1.1@) before the first entry; write it "
               "without";
    }
    for (std::size_t i = 1; i < entries.size(); ++i) {
        if (protocolLength(entries[i]) == 0) {
            return "an entry after the first names no protocol; write '" + rewritten(entries) + "'";
        }
        if (entries[i].rfind("iiop:", 0) != 0 && entries[i][0] != ':') {
            return "the ORB reads protocols in lower case only; write 'iiop:'";
        }
    }
    return "";
}

// --- names resolved within the bound ---

const addrinfo kStreamHints = {0, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};

// Look-ups that outlived their call: glibc still writes into them, so they
// are freed only once it is done.
ACE_Thread_Mutex g_lookupLock;
std::vector<gaicb*> g_unfinishedLookups;

void release(gaicb* request) {
    if (request->ar_result != nullptr) {
        freeaddrinfo(request->ar_result);
    }
    std::free(const_cast<char*>(request->ar_name));  // NOLINT: strdup's
    delete request;
}

void releaseFinishedLookups() {
    const ACE_Guard<ACE_Thread_Mutex> guard(g_lookupLock);
    const auto finished =
        std::partition(g_unfinishedLookups.begin(), g_unfinishedLookups.end(),
                       [](gaicb* request) { return gai_error(request) == EAI_INPROGRESS; });
    std::for_each(finished, g_unfinishedLookups.end(), release);
    g_unfinishedLookups.erase(finished, g_unfinishedLookups.end());
}

// getaddrinfo for `name`, waiting until `deadline` at most: its status, or
// EAI_INPROGRESS if the deadline came first. `found` is the caller's to free.
int lookUp(const std::string& name, Deadline deadline, addrinfo** found) {
    releaseFinishedLookups();
    auto* request = new gaicb{};
    request->ar_name = strdup(name.c_str());
    request->ar_request = &kStreamHints;
    gaicb* list[] = {request};
    const int started =
        request->ar_name == nullptr ? EAI_MEMORY : getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (started != 0) {
        release(request);
        return started;
    }
    for (;;) {
        const int status = gai_error(request);
        if (status != EAI_INPROGRESS) {
            *found = request->ar_result;
            request->ar_result = nullptr;
            release(request);
            return status;
        }
        if (deadline == Deadline::max()) {
            gai_suspend(list, 1, nullptr);
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        const timespec wait = {static_cast<time_t>(left / 1000000000),
                               static_cast<long>(left % 1000000000)};
        gai_suspend(list, 1, &wait);
    }
    if (gai_cancel(request) == EAI_CANCELED) {
        release(request);
    } else {
        const ACE_Guard<ACE_Thread_Mutex> guard(g_lookupLock);
        g_unfinishedLookups.push_back(request);
    }
    return EAI_INPROGRESS;
}

// A name's addresses, reused for a second: calls that connect again and
// again pay the resolver once, and a change of the name's addresses is seen
// a second later.
constexpr auto kResolvedNameKept = std::chrono::seconds(1);
ACE_Thread_Mutex g_resolvedLock;
std::pair<std::string, std::pair<Clock::time_point, std::vector<std::string>>> g_resolved;

// The name's distinct addresses in the resolver's order, IPv6 bracketed,
// those this ORB build cannot reach left out; none, with `why`, on failure.
std::vector<std::string> addressesOf(const std::string& name, Deadline deadline, std::string& why) {
    {
        const ACE_Guard<ACE_Thread_Mutex> guard(g_resolvedLock);
        if (g_resolved.first == name &&
            Clock::now() - g_resolved.second.first < kResolvedNameKept) {
            return g_resolved.second.second;
        }
    }
    addrinfo* found = nullptr;
    const int status = lookUp(name, deadline, &found);
    if (status == EAI_INPROGRESS) {
        why = "the name " + name + " could not be resolved in time (" + kCallTimeoutVariable + "=" +
              std::to_string(callTimeoutMs()) + ")";
        return {};
    }
    if (status != 0) {
        why = "the name " + name + " could not be resolved: " + gai_strerror(status);
        return {};
    }
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
    freeaddrinfo(found);
    if (addresses.empty()) {
        why = "the name " + name + " has no address this ORB build can reach";
        return {};
    }
    const ACE_Guard<ACE_Thread_Mutex> guard(g_resolvedLock);
    g_resolved = {name, {Clock::now(), addresses}};
    return addresses;
}

// The URL that lists `addresses`, each at port 9999.
std::string addressListUrl(const std::vector<std::string>& addresses) {
    std::string text = addresses.front();
    for (std::size_t i = 1; i < addresses.size(); ++i) {
        text += ":9999,iiop:1.1@" + addresses[i];
    }
    return namingServiceUrl(text);
}

}  // namespace

std::string namingServiceUrl(const std::string& host) {
    std::string url = "corbaloc:iiop:1.1@";
    url += isBareIpv6(host) ? "[" + host + "]" : host;
    url += ':';
    url += "9999";
    url += "/NameService";
    return url;
}

std::string hostTextProblem(const std::string& host) {
    if (hasNul(host)) {
        return "the host text holds a NUL byte";
    }
    const std::vector<std::string> entries = hostEntries(host);
    if (!entries.empty()) {
        return entriesProblem(entries);
    }
    if (isIpv6(host)) {
        return OrbPlatform::kReachesIpv6
                   ? ""
                   : "this ORB build has no IPv6; name an IPv4 address or a host name";
    }
    if (protocolLength(host) != 0 || host.find('@') != std::string::npos) {
        return "the library writes the protocol (iiop:1.1@) itself; write the host alone";
    }
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && colon + 1 < host.size() &&
        std::all_of(host.begin() + static_cast<std::ptrdiff_t>(colon) + 1, host.end(),
                    [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        return "the library adds the port (:9999) itself; write '" + host.substr(0, colon) + "'";
    }
    return "";
}

std::vector<std::pair<std::string, std::string>> connectionUrls(const std::string& host,
                                                                Deadline deadline,
                                                                std::string& why) {
    const std::vector<std::string> entries = hostEntries(host);
    if (!entries.empty()) {
        Urls urls{{host, namingServiceUrl(host)}};
        for (std::size_t i = 0; i < entries.size(); ++i) {
            std::string url = i == 0 ? "corbaloc:iiop:1.1@" : "corbaloc:";
            url += entries[i];
            url += i + 1 == entries.size() ? ":9999/NameService" : "/NameService";
            urls.emplace_back(entryAddress(entries[i], i), url);
        }
        return urls;
    }
    if (!isName(host)) {
        return {{host, namingServiceUrl(host)}};  // an address, or a text the ORB judges
    }
    const std::vector<std::string> addresses = addressesOf(host, deadline, why);
    if (addresses.empty()) {
        return {};
    }
    // One address of each family at most: one server, reached as the ORB
    // reaches a server with several addresses. More: replicas, one each.
    const auto v6 = std::count_if(addresses.begin(), addresses.end(),
                                  [](const std::string& address) { return address[0] == '['; });
    Urls urls{{host, addressListUrl(addresses)}};
    if (v6 <= 1 && addresses.size() - static_cast<std::size_t>(v6) <= 1) {
        return urls;
    }
    std::transform(addresses.begin(), addresses.end(), std::back_inserter(urls),
                   [](const std::string& address) {
                       return std::make_pair(address, namingServiceUrl(address));
                   });
    return urls;
}

}  // namespace OrbRuntime

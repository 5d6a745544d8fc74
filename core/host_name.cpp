// SPDX-License-Identifier: MIT
// Host names and addresses as an entry of a host text writes them: what a
// name must be for the library to look it up as written, and the addresses
// no naming service has. Each refusal says what to write instead.
#include "orb_runtime.h"

#include <arpa/inet.h>
#include <idn2.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace OrbRuntime {
namespace {

// Whether the resolver may read `label` as a number: decimal, or hex
// after 0x. A host name's last label never is one (RFC 1123, 2.1).
bool isNumber(const std::string& label) {
    const bool hex = label.size() >= 2 && label[0] == '0' && (label[1] == 'x' || label[1] == 'X');
    return !label.empty() && std::all_of(label.begin() + (hex ? 2 : 0), label.end(), [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                   : std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// A name that ends in a number is an IPv4 address in a form inet_pton does
// not read: getaddrinfo reads it the old BSD way (127.1, 2130706433, octal
// 010, hex 0x7f), or as a name nobody can have.
std::string numbersProblem(const std::string& written, const std::string& name) {
    const std::vector<std::string> parts = splitText(name, '.');
    std::string decimal;
    if (parts.size() == 4 && std::all_of(parts.begin(), parts.end(), [](const std::string& part) {
            return part.size() <= 3 &&
                   std::all_of(
                       part.begin(), part.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }) &&
                   std::stoi(part) <= 255;
        })) {
        for (const std::string& part : parts) {
            decimal += (decimal.empty() ? "" : ".") + std::to_string(std::stoi(part));
        }
    }
    in_addr read{};
    char readText[INET_ADDRSTRLEN] = {};
    if (inet_aton(name.c_str(), &read) == 0 ||
        inet_ntop(AF_INET, &read, readText, sizeof readText) == nullptr) {
        return decimal.empty()
                   ? "'" + written + "' is neither an IPv4 address nor a host name, " +
                         "whose last label is never a number"
                   : "'" + written + "' is no IPv4 address in dotted-quad form; write '" + decimal +
                         "'";
    }
    return "'" + written +
           "' is no IPv4 address in dotted-quad form: the resolver would read it as " + readText +
           "; write '" + readText + "'" +
           (decimal.empty() || decimal == readText ? ""
                                                   : ", or '" + decimal + "' if that is meant");
}

}  // namespace

std::string hostNameProblem(const std::string& written, std::string& usable) {
    constexpr std::size_t kLongestLabel = 63;
    constexpr std::size_t kLongestName = 253;
    if (std::any_of(written.begin(), written.end(),
                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        char* ascii = nullptr;
        if (!hasNul(written) &&
            idn2_to_ascii_8z(written.c_str(), &ascii, IDN2_NONTRANSITIONAL | IDN2_NFC_INPUT) ==
                IDN2_OK) {
            const std::string form(ascii);
            idn2_free(ascii);
            return "'" + written + "' is not ASCII; write its IDNA form '" + form + "'";
        }
        return "'" + written + "' is neither an address nor a host name";
    }
    if (written.empty() || !std::all_of(written.begin(), written.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ||
                   c == '.';
        })) {
        return "'" + written + "' is neither an address nor a host name";
    }
    if (written == ".") {
        return "'.' names no host; write a host name or an address";
    }
    const std::string name =
        written.back() == '.' ? written.substr(0, written.size() - 1) : written;
    const std::vector<std::string> labels = splitText(name, '.');
    if (std::any_of(labels.begin(), labels.end(),
                    [](const std::string& label) { return label.empty(); })) {
        return "'" + written + "' has an empty label";
    }
    const auto longest = std::max_element(
        labels.begin(), labels.end(),
        [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    if (longest->size() > kLongestLabel) {
        return "a label of a host name has 63 characters at most, not " +
               std::to_string(longest->size());
    }
    if (name.size() > kLongestName) {
        return "a host name has 253 characters at most, not " + std::to_string(name.size());
    }
    if (isNumber(labels.back())) {
        return numbersProblem(written, name);
    }
    usable = name;
    return "";
}

// A naming service answers at an address of its own: never at a group's.
std::string unicastProblem(const std::string& address) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        const std::uint32_t host = ntohl(v4.s_addr);
        if (host == INADDR_BROADCAST) {
            return "'" + address + "' is the broadcast address; name the naming service's own";
        }
        return IN_MULTICAST(host)
                   ? "'" + address + "' is a multicast address; name the naming service's own"
                   : "";
    }
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_MULTICAST(&v6)
               ? "'" + address + "' is a multicast address; name the naming service's own"
               : "";
}

bool isBareIpv6(const std::string& host) {
    in6_addr address{};
    return !hasNul(host) && inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

bool isIpv4(const std::string& host) {
    in_addr address{};
    return !hasNul(host) && inet_pton(AF_INET, host.c_str(), &address) == 1;
}

std::string addressProblem(const std::string& address, std::string& usable) {
    const bool inBrackets = address.size() >= 2 && address.front() == '[';
    const std::string inner = inBrackets ? address.substr(1, address.size() - 2) : address;
    if (inner.find('%') != std::string::npos && isBareIpv6(inner.substr(0, inner.find('%')))) {
        return "the ORB takes no IPv6 zone index ('" + inner.substr(inner.find('%')) +
               "'); name a global IPv6 address, an IPv4 address or a host name";
    }
    if (isBareIpv6(inner)) {
        usable = "[" + inner + "]";
        if (!OrbPlatform::kReachesIpv6) {
            return "this ORB build has no IPv6; name an IPv4 address or a host name";
        }
        return unicastProblem(inner);
    }
    if (inBrackets) {
        return "'" + address + "' is not an IPv6 address";
    }
    if (isIpv4(address)) {
        usable = address;
        return unicastProblem(address);
    }
    return hostNameProblem(address, usable);
}

bool isHostName(const std::string& host) {
    std::string usable;
    return hostNameProblem(host, usable).empty() && usable.size() == host.size();
}

}  // namespace OrbRuntime

// SPDX-License-Identifier: MIT
// Host texts: what the caller may write, read into entries of one address
// each, every one at port 9999. A text the library does not take is refused
// here, before anything is contacted, with what to write instead.
#include "orb_runtime.h"

#include <arpa/inet.h>
#include <idn2.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace OrbRuntime {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kFirstProtocol = "iiop:1.1@";

bool isBareIpv6(const std::string& host) {
    in6_addr address{};
    return !hasNul(host) && inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

bool isIpv4(const std::string& host) {
    in_addr address{};
    return !hasNul(host) && inet_pton(AF_INET, host.c_str(), &address) == 1;
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    return text.size() >= length &&
           std::equal(prefix, prefix + length, text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
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

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end = text.find(separator); end != std::string::npos;
         end = text.find(separator, start)) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// An entry's address and port as written: "[v6]:p", "v4:p", "name:p" or
// without ":p"; a bare IPv6 address is all address. False if the brackets
// are not closed or a colon stands where no port can.
bool splitPort(const std::string& written, std::string& address, std::string& port) {
    if (!written.empty() && written[0] == '[') {
        const std::size_t closed = written.find(']');
        if (closed == std::string::npos ||
            (closed + 1 < written.size() && written[closed + 1] != ':')) {
            return false;
        }
        address = written.substr(0, closed + 1);
        port = closed + 1 < written.size() ? written.substr(closed + 2) : "";
        return true;
    }
    const std::size_t colon = written.find(':');
    // A zone index ("%lo") is read with its address, to be refused by name.
    if (colon == std::string::npos || isBareIpv6(written.substr(0, written.find('%')))) {
        address = written;
        port.clear();
        return true;
    }
    address = written.substr(0, colon);
    port = written.substr(colon + 1);
    return port.find(':') == std::string::npos;
}

// The text written as the library reads it: each entry at port 9999, the
// ones after the first with their protocol; IPv6 addresses bracketed.
std::string canonical(const Entries& entries) {
    std::string text;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        text += i == 0 ? entries[i].second + ":9999" : "," + entries[i].first + entries[i].second;
    }
    return text;
}

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
    const std::vector<std::string> parts = split(name, '.');
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

// Why `written` is no host name the library looks up as it stands; empty if
// it is, with `usable` the name to look up: a trailing dot (an absolute
// name) means the same name without it.
std::string nameProblem(const std::string& written, std::string& usable) {
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
    const std::vector<std::string> labels = split(name, '.');
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

// Why `address`, as written in an entry, is not one the library can use;
// empty if it is. `usable` says how it then stands: an IPv6 address
// bracketed, a name as it is looked up.
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
    return nameProblem(address, usable);
}

// Reads a text of one or more entries into `entries`; why it is refused,
// or empty.
std::string readEntries(const std::string& host, Entries& entries) {
    const std::vector<std::string> written = split(host, ',');
    const bool several = written.size() > 1;
    for (std::size_t i = 0; i < written.size(); ++i) {
        // An empty host is read as this machine, and after a trailing comma
        // the appended ":9999" reads as a host of its own.
        const std::string rest =
            i == 0 ? written[i] : written[i].substr(protocolLength(written[i]));
        if (rest.empty() || (rest[0] == ':' && !isBareIpv6(rest))) {
            return "an entry of the host text names no address";
        }
    }
    if (!isBareIpv6(written[0]) &&
        (protocolLength(written[0]) != 0 || written[0].find('@') != std::string::npos)) {
        return several ? "the library writes the protocol (iiop:1.1@) before the first entry; "
                         "write it without"
                       : "the library writes the protocol (iiop:1.1@) itself; write the host alone";
    }
    bool bareIpv6 = false;
    bool otherPort = false;
    for (std::size_t i = 0; i < written.size(); ++i) {
        const std::size_t protocol = i == 0 ? 0 : protocolLength(written[i]);
        const std::string rest = written[i].substr(protocol);
        std::string address;
        std::string port;
        if (!splitPort(rest, address, port)) {
            return rest[0] == '[' && rest.find(']') == std::string::npos
                       ? "an IPv6 address opened with '[' is not closed; write '" + rest + "]'"
                       : "'" + rest + "' is neither an address nor a host name";
        }
        std::string usable;
        if (std::string problem = addressProblem(address, usable); !problem.empty()) {
            return problem;
        }
        if (!several && !port.empty()) {
            return "the library adds the port (:9999) itself; write '" + usable + "'";
        }
        bareIpv6 = bareIpv6 || (several && isBareIpv6(address));
        otherPort = otherPort || (!port.empty() && port != "9999");
        entries.emplace_back(i == 0 ? kFirstProtocol : written[i].substr(0, protocol), usable);
    }
    for (std::size_t i = 1; i < entries.size(); ++i) {
        std::string& protocol = entries[i].first;
        if (protocol.empty()) {
            protocol = kFirstProtocol;
            return "an entry after the first names no protocol; write '" + canonical(entries) + "'";
        }
        if (protocol.rfind("iiop:", 0) != 0 && protocol[0] != ':') {
            return "the ORB reads protocols in lower case only; write 'iiop:'";
        }
        const std::size_t at = protocol.find('@');
        const std::string version =
            at == std::string::npos
                ? "1.1"
                : protocol.substr(protocol.find(':') + 1, at - protocol.find(':') - 1);
        if (version != "1.0" && version != "1.1" && version != "1.2") {
            protocol = kFirstProtocol;
            return "an entry's IIOP version is 1.0, 1.1 or 1.2, as in 'iiop:1.1@'; write '" +
                   canonical(entries) + "'";
        }
    }
    if (bareIpv6) {
        return "an IPv6 address in a text of several entries is bracketed and given its port; "
               "write '" +
               canonical(entries) + "'";
    }
    if (otherPort) {
        return "the naming service is at port 9999 only; write '" + canonical(entries) + "'";
    }
    return "";
}

// What a text written as a URL names: its entries less protocol, port and
// key, in the library's own form; empty if that is not plain.
std::string hostOfUrl(const std::string& url) {
    std::string rest = url.substr(url.find(':') + 1);
    if (const std::size_t key = rest.find('/'); key != std::string::npos) {
        rest.erase(key);
    }
    std::vector<std::string> written = split(rest, ',');
    std::transform(written.begin(), written.end(), written.begin(), [](const std::string& entry) {
        std::string address;
        std::string port;
        return splitPort(entry.substr(protocolLength(entry)), address, port) ? address : "";
    });
    std::string host = written[0];
    for (std::size_t i = 1; i < written.size(); ++i) {
        host += "," + std::string(kFirstProtocol) + written[i];
    }
    Entries entries;
    return readEntries(host, entries).empty() ? host : "";
}

}  // namespace

bool isHostName(const std::string& host) {
    std::string usable;
    return nameProblem(host, usable).empty() && usable.size() == host.size();
}

std::string namingServiceUrl(const std::string& host) {
    std::string url = "corbaloc:iiop:1.1@";
    url += isBareIpv6(host) ? "[" + host + "]" : host;
    url += ':';
    url += "9999";
    url += "/NameService";
    return url;
}

std::string entriesUrl(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string url = "corbaloc:";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i != 0) {
            url += ',';
        }
        url += i == 0 ? kFirstProtocol : entries[i].first;
        url += entries[i].second;
        url += ":9999";
    }
    url += "/NameService";
    return url;
}

std::string readHostText(const std::string& host,
                         std::vector<std::pair<std::string, std::string>>& entries) {
    entries.clear();
    // The common texts, an IPv4 address or a host name alone, read at once.
    if ((isIpv4(host) && unicastProblem(host).empty()) || isHostName(host)) {
        entries.emplace_back(kFirstProtocol, host);
        return "";
    }
    std::string problem;
    if (hasNul(host)) {
        problem = "the host text holds a NUL byte";
    } else if (host.empty()) {
        problem = "the host text is empty; name the naming service's host, e.g. 'localhost'";
    } else if (std::any_of(host.begin(), host.end(), [](char c) {
                   return std::isspace(static_cast<unsigned char>(c)) != 0;
               })) {
        std::string trimmed = host;
        trimmed.erase(
            std::remove_if(trimmed.begin(), trimmed.end(),
                           [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }),
            trimmed.end());
        problem = "the host text holds white space; write '" + trimmed + "'";
    } else if (startsWithNoCase(host, "corbaloc:") || startsWithNoCase(host, "corbaname:")) {
        const std::string alone = hostOfUrl(host);
        problem =
            "the library makes the URL (corbaloc:iiop:1.1@HOST:9999/NameService) itself; "
            "write the host alone" +
            (alone.empty() ? std::string() : ": '" + alone + "'");
    } else if (host.find('/') != std::string::npos) {
        problem = "the library adds the object key (/NameService) itself; write '" +
                  host.substr(0, host.find('/')) + "'";
    } else {
        problem = readEntries(host, entries);
    }
    if (!problem.empty()) {
        entries.clear();
    }
    return problem;
}

std::string hostTextProblem(const std::string& host) {
    std::vector<std::pair<std::string, std::string>> entries;
    return readHostText(host, entries);
}

}  // namespace OrbRuntime

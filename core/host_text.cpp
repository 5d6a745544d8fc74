// SPDX-License-Identifier: MIT
// Host texts: what the caller may write, read into entries of one address
// each, every one at port 9999. A text the library does not take is refused
// here, before anything is contacted, with what to write instead.
#include "orb_runtime.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace OrbRuntime {
namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kFirstProtocol = "iiop:1.1@";

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

// Reads a text of one or more entries into `entries`; why it is refused,
// or empty.
std::string readEntries(const std::string& host, Entries& entries) {
    const std::vector<std::string> written = splitText(host, ',');
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
    std::vector<std::string> written = splitText(rest, ',');
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

// SPDX-License-Identifier: MIT
// Host texts that look like one address but would reach another, or no
// host at all, each with the reason the library refuses it.
#ifndef ZORCLIENT_TESTS_HOST_TEXTS_H
#define ZORCLIENT_TESTS_HOST_TEXTS_H

#include "orb_platform.h"

#include <string>
#include <utility>
#include <vector>

namespace zortest {

inline std::vector<std::pair<std::string, std::string>> misleadingHostTexts() {
    const std::string notDottedQuad = "' is no IPv4 address in dotted-quad form";
    const std::string readAsLoopback =
        notDottedQuad + ": the resolver would read it as 127.0.0.1; write '127.0.0.1'";
    const std::string octal = notDottedQuad +
                              ": the resolver would read it as 8.0.0.1; write '8.0.0.1', or "
                              "'10.0.0.1' if that is meant";
    const std::string label63 = std::string(63, 'a');
    return {
        {"010.0.0.1", "'010.0.0.1" + octal},
        {"010.000.000.001", "'010.000.000.001" + octal},
        {"127.1", "'127.1" + readAsLoopback},
        {"2130706433", "'2130706433" + readAsLoopback},
        {"0x7f.0.0.1", "'0x7f.0.0.1" + readAsLoopback},
        {"09.0.0.1", "'09.0.0.1" + notDottedQuad + "; write '9.0.0.1'"},
        {"1.2.3.4.5",
         "'1.2.3.4.5' is neither an IPv4 address nor a host name, whose last label is never a "
         "number"},
        {"ns.0x1f",
         "'ns.0x1f' is neither an IPv4 address nor a host name, whose last label is "
         "never a number"},
        {"224.0.0.1", "'224.0.0.1' is a multicast address; name the naming service's own"},
        {"255.255.255.255",
         "'255.255.255.255' is the broadcast address; name the naming service's own"},
        {"ff02::1", OrbPlatform::kReachesIpv6
                        ? "'ff02::1' is a multicast address; name the naming service's own"
                        : "this ORB build has no IPv6; name an IPv4 address or a host name"},
        {".", "'.' names no host; write a host name or an address"},
        {"ns..test", "'ns..test' has an empty label"},
        {".ns.test", "'.ns.test' has an empty label"},
        {"ns.test..", "'ns.test..' has an empty label"},
        {"a" + label63 + ".test", "a label of a host name has 63 characters at most, not 64"},
        {label63 + "." + label63 + "." + label63 + "." + std::string(62, 'a'),
         "a host name has 253 characters at most, not 254"},
        {"b\xc3\xbc"
         "cher.example",
         "'b\xc3\xbc"
         "cher.example' is not ASCII; write its IDNA form 'xn--bcher-kva.example'"},
        {"B\xc3\x9c"
         "CHER.example",
         "'B\xc3\x9c"
         "CHER.example' is not ASCII; write its IDNA form 'xn--bcher-kva.example'"},
        {"ns1:9999,iiop:1.1@127.1", "'127.1" + readAsLoopback},
    };
}

}  // namespace zortest

#endif

// SPDX-License-Identifier: MIT
// Fuzzes the texts that reach the ORB: the naming-service URL built from a
// host, the URL built from a host text the library takes (which the ORB
// must accept, every address at port 9999), the three-component name built
// from three texts, and the refusal of texts with a NUL byte. Numbers in a
// host text reach only the address they name. The input
// holds the four texts separated by 0xFF.
#include "orb_runtime.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> splitTexts(const uint8_t* data, size_t size) {
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF && texts.size() < 4) {
            texts.emplace_back();
        } else {
            texts.back().push_back(static_cast<char>(data[i]));
        }
    }
    texts.resize(4);
    return texts;
}

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

CORBA::ORB_ptr fuzzOrb() {
    static CORBA::ORB_var orb = [] {
        int noArguments = 0;
        return CORBA::ORB_init(noArguments, nullptr, OrbPlatform::orbInitId("ZOR_CLIENT_ORB"));
    }();
    return orb.in();
}

// A host text the library takes reaches the ORB as one URL whose every
// address is at port 9999, with names replaced by the addresses they
// resolve to (here a loopback one, so nothing is looked up); the ORB must
// accept it. A text it does not take is refused with a reason.
void checkHostText(const std::string& host) {
    std::vector<std::pair<std::string, std::string>> entries;
    const std::string problem = OrbRuntime::readHostText(host, entries);
    if (!problem.empty()) {
        require(entries.empty());
        return;
    }
    require(!entries.empty());
    // Numbers are an address only as inet_pton reads them: a text the
    // resolver would read as an IPv4 address is taken only in that form, and
    // every entry that is no name is an address as written.
    in_addr numbers{};
    if (inet_aton(host.c_str(), &numbers) == 1) {
        require(entries.size() == 1 && entries[0].second == host &&
                inet_pton(AF_INET, host.c_str(), &numbers) == 1);
    }
    for (auto& [protocol, address] : entries) {
        in6_addr v6{};
        const bool bracketed = address.front() == '[';
        require(OrbRuntime::isHostName(address) ||
                inet_pton(AF_INET, address.c_str(), &numbers) == 1 ||
                (bracketed &&
                 inet_pton(AF_INET6, address.substr(1, address.size() - 2).c_str(), &v6) == 1));
        if (OrbRuntime::isHostName(address)) {
            address = "127.0.0.1";
        }
    }
    const std::string url = OrbRuntime::entriesUrl(entries);
    const std::string scheme = "corbaloc:";
    const std::string key = "/NameService";
    require(url.compare(0, scheme.size(), scheme) == 0);
    require(url.compare(url.size() - key.size(), key.size(), key) == 0);
    const std::string list = url.substr(scheme.size(), url.size() - scheme.size() - key.size());
    std::size_t start = 0;
    for (std::size_t end = 0; end != std::string::npos; start = end + 1) {
        end = list.find(',', start);
        const std::string entry = list.substr(start, end == std::string::npos ? end : end - start);
        require(entry.size() > 5 && entry.compare(entry.size() - 5, 5, ":9999") == 0);
    }
    try {
        const CORBA::Object_var object = fuzzOrb()->string_to_object(url.c_str());
        require(!CORBA::is_nil(object.in()));
    } catch (const CORBA::Exception&) {
        require(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> texts = splitTexts(data, size);
    const std::string& host = texts[0];

    // A bare IPv6 literal goes in bracketed, every other host as it stands.
    in6_addr address{};
    const bool bareIpv6 =
        host.find('\0') == std::string::npos && inet_pton(AF_INET6, host.c_str(), &address) == 1;
    const std::string inserted = bareIpv6 ? "[" + host + "]" : host;
    const std::string url = OrbRuntime::namingServiceUrl(host);
    const std::string prefix = "corbaloc:iiop:1.1@";
    const std::string suffix = ":9999/NameService";
    require(url.size() == prefix.size() + inserted.size() + suffix.size());
    require(url.compare(0, prefix.size(), prefix) == 0);
    require(url.compare(prefix.size(), inserted.size(), inserted) == 0);
    require(url.compare(url.size() - suffix.size(), suffix.size(), suffix) == 0);

    checkHostText(host);

    const CosNaming::Name name = OrbRuntime::makeName(texts[1], texts[2], texts[3]);
    require(name.length() == 3);
    for (CORBA::ULong i = 0; i < 3; ++i) {
        require(std::strcmp(name[i].id.in(), texts[i + 1].c_str()) == 0);
        require(name[i].kind.in()[0] == '\0');
    }

    // Without an ORB or a context nothing is contacted, whatever the texts.
    const CosNaming::NamingContext_var ctx =
        OrbRuntime::connectNamingService(CORBA::ORB::_nil(), host, 0);
    require(CORBA::is_nil(ctx.in()));
    const CORBA::Object_var object =
        OrbRuntime::resolveName(CosNaming::NamingContext::_nil(), texts[1], texts[2], texts[3]);
    require(CORBA::is_nil(object.in()));
    return 0;
}

// SPDX-License-Identifier: MIT
// The plan of a connection: from a host text to the addresses to try, each
// labelled for the trace and made into a URL the ORB need not resolve again.
#include "orb_runtime.h"

#include <algorithm>

namespace OrbRuntime {

ConnectionPlan planConnection(const std::string& host, Deadline deadline, std::string& why) {
    std::vector<std::pair<std::string, std::string>> entries;
    if (std::string problem = readHostText(host, entries); !problem.empty()) {
        why = std::move(problem);
        return {};
    }
    std::vector<bool> named;
    std::vector<std::string> names;
    for (const auto& entry : entries) {
        named.push_back(isHostName(entry.second));
        if (named.back()) {
            names.push_back(entry.second);
        }
    }
    if (names.empty() && entries.size() == 1) {
        const std::string url = entriesUrl(entries);
        return {url, {{host, "", entries.front().second, url}}, std::nullopt};  // one address
    }
    const std::vector<std::vector<std::string>> resolved =
        addressesOf(names, names.size() < entries.size(), deadline, why);
    // Each entry's addresses: one server where it has one of each family at
    // most, more are replicas; either way one reference per address.
    std::vector<std::pair<std::string, std::string>> whole;
    std::vector<PlannedAddress> addresses;
    auto name = resolved.begin();
    for (std::size_t e = 0; e < entries.size(); ++e) {
        const std::string& protocol = entries[e].first;
        const std::string& written = entries[e].second;
        std::vector<std::string> found = named[e] ? *name++ : std::vector<std::string>{written};
        const std::optional<LastAnswer> last = lastAnswer(written);
        if (found.size() == 2 && last && found[1] == last->address) {
            std::swap(found[0], found[1]);
        }
        const auto v6 = std::count_if(found.begin(), found.end(),
                                      [](const std::string& address) { return address[0] == '['; });
        // One server: its addresses are raced, each labelled by the server;
        // replicas by the address alone.
        const bool oneServer = v6 <= 1 && found.size() - static_cast<std::size_t>(v6) <= 1;
        for (const std::string& address : found) {
            whole.emplace_back(protocol, address);
            const bool ofSeveral = oneServer && found.size() > 1;
            addresses.push_back({!oneServer  ? address
                                 : ofSeveral ? written + " " + address
                                             : written,
                                 ofSeveral ? written : "", address, entriesUrl({whole.back()})});
        }
    }
    if (whole.empty()) {
        return {};
    }
    ConnectionPlan plan{entriesUrl(whole), {}, std::nullopt};
    if (addresses.size() > 1) {
        // Replicas: the one that answered the last connection to them first.
        const std::optional<LastAnswer> last = lastAnswer(plan.wholeUrl);
        const auto first = std::find_if(addresses.begin(), addresses.end(),
                                        [&last](const PlannedAddress& planned) {
                                            return last && planned.url == last->address;
                                        });
        if (first != addresses.end()) {
            std::rotate(addresses.begin(), first, first + 1);
            plan.firstAnsweredIn = last->took;
        } else if (const std::optional<LastAnswer> own = lastAnswer(addresses.front().server);
                   own && !addresses.front().server.empty() &&
                   own->address == addresses.front().address) {
            plan.firstAnsweredIn = own->took;  // a server's own address, put first above
        }
        plan.addresses = std::move(addresses);
    } else {
        plan.addresses.push_back({host, "", whole.front().second, plan.wholeUrl});
    }
    return plan;
}

}  // namespace OrbRuntime

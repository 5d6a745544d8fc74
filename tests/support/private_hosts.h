// SPDX-License-Identifier: MIT
// A host name of the test's own that resolves to several loopback addresses,
// as a cluster names its replicas: a private hosts file bind-mounted over
// /etc/hosts in a mount namespace of this process alone, so the machine's
// own file is never touched. Likewise a private resolv.conf that sends every
// other name to a DNS server of the test's choice. Only root may do that.
#ifndef ZORCLIENT_TESTS_PRIVATE_HOSTS_H
#define ZORCLIENT_TESTS_PRIVATE_HOSTS_H

#include <string>
#include <vector>

namespace zortest {

// Until destruction, `name` resolves to `addresses`, in that order, for this
// process and the threads and children it makes from then on. Make it before
// anything starts threads. why() says what kept it from being set up.
class PrivateHosts {
public:
    // With `nameServer`, names not in the hosts file are asked of it.
    PrivateHosts(const std::string& name, const std::vector<std::string>& addresses,
                 const std::string& nameServer = "");
    ~PrivateHosts();
    PrivateHosts(const PrivateHosts&) = delete;
    PrivateHosts& operator=(const PrivateHosts&) = delete;

    [[nodiscard]] const std::string& why() const { return why_; }
    // From now on `name` resolves to `addresses` instead.
    void point(const std::vector<std::string>& addresses) const;

private:
    std::string name_;
    std::string machineHosts_;
    std::vector<std::string> files_;
    std::vector<std::string> mounted_;
    std::string why_;
};

}  // namespace zortest

#endif

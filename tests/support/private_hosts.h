// SPDX-License-Identifier: MIT
// A host name of the test's own that resolves to several loopback addresses,
// as a cluster names its replicas: a private hosts file bind-mounted over
// /etc/hosts in a mount namespace of this process alone, so the machine's
// own file is never touched. Likewise a private resolv.conf that sends every
// other name to a DNS server of the test's choice, which may be one of its own
// that answers late. Only root may do that.
#ifndef ZORCLIENT_TESTS_PRIVATE_HOSTS_H
#define ZORCLIENT_TESTS_PRIVATE_HOSTS_H

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
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

// A DNS server of the test's own on `address` port 53 (UDP; root only) that
// answers each query `delay` after it came, whatever the name: with
// `addresses` (A or AAAA as asked). Point a PrivateHosts's name server at it.
class LateResolver {
public:
    LateResolver(const std::string& address, std::vector<std::string> addresses,
                 std::chrono::milliseconds delay);
    ~LateResolver();
    LateResolver(const LateResolver&) = delete;
    LateResolver& operator=(const LateResolver&) = delete;

    [[nodiscard]] const std::string& why() const { return why_; }

private:
    void serve();

    std::vector<std::string> addresses_;
    std::chrono::milliseconds delay_;
    int socket_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::string why_;
};

}  // namespace zortest

#endif

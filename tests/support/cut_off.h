// SPDX-License-Identifier: MIT
// A naming server (or a DNS server) cut off as after a pulled cable: every
// packet to its address is dropped, so nothing resets and nothing answers. Done
// with an nftables table in a network namespace of the process's own, so the
// machine's own firewall is never touched. Only root may do either.
#ifndef ZORCLIENT_TESTS_CUT_OFF_H
#define ZORCLIENT_TESTS_CUT_OFF_H

#include <string>

namespace zortest {

// Empty when this process can cut hosts off; else why it cannot. The first
// call moves the process into a network namespace of its own with loopback
// up: call it before anything listens, connects or starts threads.
std::string cutOffUnavailable();

// Whether this process runs in a network namespace of its own with loopback
// alone: one that cutOffUnavailable() made, or that its parent made and said
// so in ZORCLIENT_TEST_PRIVATE_NETWORK=1.
bool inPrivateNetwork();

// Drops every packet to `host` (an IPv4 or IPv6 address) from construction until restore() or
// destruction, which removes the table again. Refuses (throws) in the
// machine's own network namespace.
class CutOff {
public:
    explicit CutOff(const std::string& host);
    ~CutOff();
    CutOff(const CutOff&) = delete;
    CutOff& operator=(const CutOff&) = delete;

    void restore();

private:
    std::string table_;
};

}  // namespace zortest

#endif

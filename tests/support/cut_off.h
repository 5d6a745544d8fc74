// SPDX-License-Identifier: MIT
// A naming server cut off as after a pulled cable: every packet to its
// address and port is dropped, so nothing resets and nothing answers. Done
// with an nftables table of this process's own, which only root may add.
#ifndef ZORCLIENT_TESTS_CUT_OFF_H
#define ZORCLIENT_TESTS_CUT_OFF_H

#include <string>

namespace zortest {

// Empty when this process can cut hosts off; else why it cannot.
std::string cutOffUnavailable();

// Drops packets to `host`:9999 from construction until restore() or
// destruction, which removes the table again. Tables that test processes
// which have died left behind are removed first.
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

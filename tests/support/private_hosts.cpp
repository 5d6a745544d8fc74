// SPDX-License-Identifier: MIT
#include "support/private_hosts.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace zortest {

namespace {

std::string hostsText(const std::string& machineHosts, const std::string& name,
                      const std::vector<std::string>& addresses) {
    std::string text = machineHosts;
    for (const std::string& address : addresses) {
        text += '\n' + address + ' ' + name;
    }
    return text + '\n';
}

}  // namespace

PrivateHosts::PrivateHosts(const std::string& name, const std::vector<std::string>& addresses,
                           const std::string& nameServer)
    : name_(name) {
    if (geteuid() != 0) {
        why_ =
            "a private /etc/hosts takes a mount namespace of the test's own, which only root "
            "may make";
        return;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) {
        why_ = std::string("no mount namespace of the test's own: ") + std::strerror(errno);
        return;
    }
    std::ostringstream hosts;
    hosts << std::ifstream("/etc/hosts").rdbuf();
    machineHosts_ = hosts.str();
    std::vector<std::pair<std::string, std::string>> files = {
        {"/etc/hosts", hostsText(machineHosts_, name, addresses)}};
    if (!nameServer.empty()) {
        files.emplace_back("/etc/resolv.conf", "nameserver " + nameServer + "\n");
    }
    for (const auto& [target, text] : files) {
        char pattern[] = "/tmp/zorclient-names-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) {
            why_ = "cannot write a private " + target;
            return;
        }
        close(fd);
        files_.emplace_back(pattern);
        std::ofstream(pattern) << text;
        if (mount(pattern, target.c_str(), "none", MS_BIND, nullptr) != 0) {
            why_ = "cannot bind a private file over " + target + ": " + std::strerror(errno);
            return;
        }
        mounted_.push_back(target);
    }
}

void PrivateHosts::point(const std::vector<std::string>& addresses) const {
    // Written in place: the file bound over /etc/hosts stays the same file.
    std::ofstream(files_.at(0)) << hostsText(machineHosts_, name_, addresses);
}

PrivateHosts::~PrivateHosts() {
    for (const std::string& target : mounted_) {
        umount(target.c_str());
    }
    for (const std::string& file : files_) {
        std::remove(file.c_str());
    }
}

}  // namespace zortest

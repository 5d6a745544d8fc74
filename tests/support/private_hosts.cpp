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

namespace zortest {

PrivateHosts::PrivateHosts(const std::string& name, const std::vector<std::string>& addresses) {
    if (geteuid() != 0) {
        why_ =
            "a private /etc/hosts takes a mount namespace of the test's own, which only root "
            "may make";
        return;
    }
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why_ = std::string("no mount namespace of the test's own: ") + std::strerror(errno);
        return;
    }
    char pattern[] = "/tmp/zorclient-hosts-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) {
        why_ = "cannot write a private hosts file";
        return;
    }
    close(fd);
    file_ = pattern;
    std::ostringstream hosts;
    hosts << std::ifstream("/etc/hosts").rdbuf();
    for (const std::string& address : addresses) {
        hosts << '\n' << address << ' ' << name;
    }
    std::ofstream(file_) << hosts.str() << '\n';
    if (mount(file_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
        why_ = std::string("cannot bind a private hosts file over /etc/hosts: ") +
               std::strerror(errno);
    }
}

PrivateHosts::~PrivateHosts() {
    if (why_.empty() && !file_.empty()) {
        umount("/etc/hosts");
    }
    if (!file_.empty()) {
        std::remove(file_.c_str());
    }
}

}  // namespace zortest

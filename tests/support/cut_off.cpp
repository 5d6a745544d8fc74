// SPDX-License-Identifier: MIT
#include "cut_off.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace zortest {
namespace {

// Runs nft with `words`; its standard output, or nothing if it failed.
bool nft(const std::vector<std::string>& words, std::string* out = nullptr) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return false;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::vector<std::string> copy = words;
        copy.insert(copy.begin(), "nft");
        std::vector<char*> argv(copy.size() + 1, nullptr);
        std::transform(copy.begin(), copy.end(), argv.begin(),
                       [](std::string& word) { return word.data(); });
        execvp("nft", argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (out != nullptr) {
        *out = text;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

constexpr const char* kPrivateNetworkVariable = "ZORCLIENT_TEST_PRIVATE_NETWORK";

// A network namespace of this process's own with only loopback, up: the
// servers, the client and the nftables table live and die in it.
std::string enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return std::string("no network namespace of the test's own: ") + std::strerror(errno);
    }
    const int socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback{};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = socketFd >= 0 && ioctl(socketFd, SIOCGIFFLAGS, &loopback) == 0;
    if (up) {
        loopback.ifr_flags |= IFF_UP;
        up = ioctl(socketFd, SIOCSIFFLAGS, &loopback) == 0;
    }
    const int failure = errno;
    if (socketFd >= 0) {
        close(socketFd);
    }
    if (!up) {
        return std::string("cannot bring loopback up: ") + std::strerror(failure);
    }
    setenv(kPrivateNetworkVariable, "1", 1);  // for the children, which share it
    return "";
}

}  // namespace

std::string cutOffUnavailable() {
    if (geteuid() != 0) {
        return "cutting a host off takes a network namespace and an nftables table, which only "
               "root may make";
    }
    std::string version;
    if (!nft({"--version"}, &version)) {
        return "nft (Debian package nftables) is not installed";
    }
    static const std::string why = enterPrivateNetwork();
    return why;
}

// Dropped on the way in: a packet dropped on the way out fails its send at
// once, which a datagram's sender sees.
bool inPrivateNetwork() {
    const char* set = std::getenv(kPrivateNetworkVariable);
    return set != nullptr && std::string(set) == "1";
}

CutOff::CutOff(const std::string& host) {
    if (!inPrivateNetwork()) {
        throw std::logic_error("cutting " + host +
                               " off would change the machine's own firewall: call "
                               "cutOffUnavailable() first, or run in a network namespace");
    }
    static std::atomic<int> count{0};
    table_ = "zorclient_test_" + std::to_string(++count);
    const bool added =
        nft({"add", "table", "inet", table_}) &&
        nft({"add", "chain", "inet", table_, "in", "{", "type", "filter", "hook", "input",
             "priority", "0", ";", "policy", "accept", ";", "}"}) &&
        nft({"add", "rule", "inet", table_, "in",
             host.find(':') == std::string::npos ? "ip" : "ip6", "daddr", host, "drop"});
    if (!added) {
        restore();
        throw std::runtime_error("nft could not cut " + host + " off");
    }
}

CutOff::~CutOff() {
    restore();
}

void CutOff::restore() {
    if (!table_.empty()) {
        nft({"delete", "table", "inet", table_});
        table_.clear();
    }
}

}  // namespace zortest

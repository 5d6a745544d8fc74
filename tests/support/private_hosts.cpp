// SPDX-License-Identifier: MIT
#include "support/private_hosts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
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

// Where a query's question ends: past its name's labels, the root label,
// type and class, after the 12-byte header; 0 if the message is cut short.
std::size_t questionEnd(const unsigned char* message, std::size_t length) {
    std::size_t at = 12;
    while (at < length && message[at] != 0) {
        at += 1 + message[at];
    }
    return at + 5 <= length ? at + 5 : 0;
}

// The reply to a query whose question ends at `end`: the header and the
// question as asked, then one record for each of `addresses` of the type
// asked (A or AAAA); a response, recursion available, no error.
std::string answer(const unsigned char* query, std::size_t end,
                   const std::vector<std::string>& addresses) {
    std::string reply(reinterpret_cast<const char*>(query), end);
    const unsigned type = (static_cast<unsigned>(query[end - 4]) << 8U) | query[end - 3];
    reply[2] = static_cast<char>(0x80U | (query[2] & 0x01U));
    reply[3] = static_cast<char>(0x80U);
    int answers = 0;
    for (const std::string& address : addresses) {
        unsigned char data[16];
        const bool v6 = address.find(':') != std::string::npos;
        if (type != (v6 ? 28U : 1U) ||
            inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), data) != 1) {
            continue;
        }
        const unsigned char record[] = {0xc0, 12, 0, static_cast<unsigned char>(type),
                                        0,    1,  0, 0,
                                        0,    0,  0, static_cast<unsigned char>(v6 ? 16 : 4)};
        reply.append(reinterpret_cast<const char*>(record), sizeof record);
        reply.append(reinterpret_cast<const char*>(data), v6 ? 16 : 4);
        ++answers;
    }
    reply[6] = 0;
    reply[7] = static_cast<char>(answers);
    std::fill(reply.begin() + 8, reply.begin() + 12, '\0');
    return reply;
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

LateResolver::LateResolver(const std::string& address, std::vector<std::string> addresses,
                           std::chrono::milliseconds delay)
    : addresses_(std::move(addresses)), delay_(delay), socket_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(53);
    if (socket_ < 0 || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        why_ = "no DNS server of the test's own on " + address + ":53: " + std::strerror(errno);
        return;
    }
    thread_ = std::thread([this] { serve(); });
}

LateResolver::~LateResolver() {
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (socket_ >= 0) {
        close(socket_);
    }
}

// Queries are read as they come and answered in turn, each `delay_` after
// it came (glibc asks for A and AAAA at once).
void LateResolver::serve() {
    struct Pending {
        std::chrono::steady_clock::time_point due;
        sockaddr_storage peer;
        socklen_t peerLength;
        std::string reply;
    };
    std::deque<Pending> pending;
    while (!stopping_) {
        pollfd ready{socket_, POLLIN, 0};
        if (poll(&ready, 1, 10) == 1) {
            unsigned char query[512];
            Pending next{
                std::chrono::steady_clock::now() + delay_, {}, sizeof(sockaddr_storage), {}};
            const ssize_t length =
                recvfrom(socket_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&next.peer),
                         &next.peerLength);
            const std::size_t end =
                length > 0 ? questionEnd(query, static_cast<std::size_t>(length)) : 0;
            if (end != 0) {
                next.reply = answer(query, end, addresses_);
                pending.push_back(std::move(next));
            }
        }
        while (!pending.empty() && pending.front().due <= std::chrono::steady_clock::now()) {
            const Pending& due = pending.front();
            sendto(socket_, due.reply.data(), due.reply.size(), 0,
                   reinterpret_cast<const sockaddr*>(&due.peer), due.peerLength);
            pending.pop_front();
        }
    }
}

}  // namespace zortest

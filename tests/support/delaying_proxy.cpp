// SPDX-License-Identifier: MIT
#include "delaying_proxy.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

namespace zortest {
namespace {

using Clock = std::chrono::steady_clock;

// `host` (an IPv4 or IPv6 address) at port 9999.
sockaddr_storage at9999(const std::string& host, socklen_t& size) {
    const addrinfo hints{
        AI_NUMERICHOST | AI_NUMERICSERV, AF_UNSPEC, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), "9999", &hints, &found) != 0) {
        throw std::invalid_argument("not an address: " + host);
    }
    sockaddr_storage address{};
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    size = found->ai_addrlen;
    freeaddrinfo(found);
    return address;
}

void writeAll(int to, const std::vector<char>& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::send(to, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (written <= 0) {
            return;
        }
        done += static_cast<std::size_t>(written);
    }
}

// Counts GIOP Request messages (type 0) in a byte stream
// fed in pieces: each message is a 12-byte header and the size it gives.
class GiopCounter {
public:
    int locates = 0;
    int feed(const char* data, std::size_t size) {
        int requests = 0;
        for (std::size_t i = 0; i < size;) {
            if (skip_ > 0) {
                const std::size_t skipped = std::min<std::size_t>(skip_, size - i);
                skip_ -= skipped;
                i += skipped;
                continue;
            }
            header_[filled_++] = static_cast<unsigned char>(data[i++]);
            if (filled_ < sizeof header_) {
                continue;
            }
            filled_ = 0;
            const bool little = (header_[6] & 1) != 0;
            const unsigned char* size_ = header_ + 8;
            skip_ = little ? (std::size_t{size_[3]} << 24 | std::size_t{size_[2]} << 16 |
                              std::size_t{size_[1]} << 8 | size_[0])
                           : (std::size_t{size_[0]} << 24 | std::size_t{size_[1]} << 16 |
                              std::size_t{size_[2]} << 8 | size_[3]);
            requests += header_[7] == 0 ? 1 : 0;
            locates += header_[7] == 3 ? 1 : 0;
        }
        return requests;
    }

private:
    unsigned char header_[12] = {};
    std::size_t filled_ = 0;
    std::size_t skip_ = 0;
};

}  // namespace

DelayingProxy::DelayingProxy(const std::string& host, std::string target,
                             std::chrono::milliseconds oneWay)
    : target_(std::move(target)), oneWay_(oneWay) {
    socklen_t size = 0;
    const sockaddr_storage address = at9999(host, size);
    listener_ = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 64) != 0) {
        ::close(listener_);
        throw std::runtime_error("the delaying proxy cannot listen on " + host + ":9999");
    }
    acceptor_ = std::thread([this] { accepting(); });
}

DelayingProxy::~DelayingProxy() {
    stopping_ = true;
    acceptor_.join();
    for (std::thread& thread : pumps_) {
        thread.join();
    }
    for (const int socket : sockets_) {
        ::close(socket);
    }
    ::close(listener_);
}

void DelayingProxy::accepting() {
    while (!stopping_) {
        pollfd ready{listener_, POLLIN, 0};
        if (::poll(&ready, 1, 20) != 1) {
            continue;
        }
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        socklen_t size = 0;
        const sockaddr_storage address = at9999(target_, size);
        const int server = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(server, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
            ::close(server);
            ::close(client);
            continue;
        }
        const int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++connections_;
        const std::lock_guard<std::mutex> guard(lock_);
        sockets_.push_back(client);
        sockets_.push_back(server);
        pumps_.emplace_back([this, client, server] { pump(client, server, true); });
        pumps_.emplace_back([this, client, server] { pump(server, client, false); });
    }
}

// Reads from `from` as data comes and writes it to `to` once it has been
// held its time; the end of the stream is passed on the same way.
void DelayingProxy::pump(int from, int to, bool counting) {
    std::deque<std::pair<Clock::time_point, std::vector<char>>> held;
    GiopCounter counter;
    bool ended = false;
    while (!stopping_) {
        const auto now = Clock::now();
        while (!held.empty() && held.front().first <= now) {
            if (held.front().second.empty()) {
                ::shutdown(to, SHUT_WR);
                return;
            }
            writeAll(to, held.front().second);
            held.pop_front();
        }
        const auto wait = held.empty()
                              ? std::chrono::milliseconds(20)
                              : std::chrono::duration_cast<std::chrono::milliseconds>(
                                    held.front().first - now + std::chrono::microseconds(999));
        pollfd ready{from, POLLIN, 0};
        if (::poll(&ready, ended ? 0 : 1,
                   static_cast<int>(std::min<long long>(wait.count(), 20))) != 1) {
            continue;
        }
        std::vector<char> data(65536);
        const ssize_t got = ::read(from, data.data(), data.size());
        data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        ended = got <= 0;
        if (counting) {
            requests_ += counter.feed(data.data(), data.size());
            locates_ += std::exchange(counter.locates, 0);
        }
        held.emplace_back(Clock::now() + oneWay_, std::move(data));
    }
}

}  // namespace zortest

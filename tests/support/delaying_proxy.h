// SPDX-License-Identifier: MIT
// A slow but healthy path to a server: a TCP proxy on a loopback address of
// its own (IPv4 or IPv6) at port 9999 that accepts at once, as a distant server's kernel
// would, and holds every byte a fixed time in each direction. It counts the
// connections and the GIOP requests that pass it.
#ifndef ZORCLIENT_TESTS_DELAYING_PROXY_H
#define ZORCLIENT_TESTS_DELAYING_PROXY_H

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zortest {

class DelayingProxy {
public:
    // Listens on `host`:9999 and forwards to `target`:9999, holding data
    // `oneWay` each way.
    DelayingProxy(const std::string& host, std::string target, std::chrono::milliseconds oneWay);
    ~DelayingProxy();
    DelayingProxy(const DelayingProxy&) = delete;
    DelayingProxy& operator=(const DelayingProxy&) = delete;

    [[nodiscard]] int connections() const { return connections_.load(); }
    // Requests passed to the server; not the LocateRequest omniORB sends
    // before the first call on a reference made from a URL.
    [[nodiscard]] int requests() const { return requests_.load(); }
    [[nodiscard]] int locateRequests() const { return locates_.load(); }

private:
    void accepting();
    void pump(int from, int to, bool counting);

    std::string target_;
    std::chrono::milliseconds oneWay_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> requests_{0};
    std::atomic<int> locates_{0};
    std::mutex lock_;
    std::list<std::thread> pumps_;
    std::list<int> sockets_;
    std::thread acceptor_;
};

}  // namespace zortest

#endif

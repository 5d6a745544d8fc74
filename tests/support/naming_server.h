// SPDX-License-Identifier: MIT
// A real naming service on a loopback address of its own at port 9999,
// started and stopped by this process: omniNames, or TAO's tao_cosnaming when
// ZORCLIENT_TEST_TAO_COSNAMING names its executable. And helpers to fill it
// with the ORB's own API.
#ifndef ZORCLIENT_TESTS_NAMING_SERVER_H
#define ZORCLIENT_TESTS_NAMING_SERVER_H

#include "bind_path.h"

#include "orb_platform.h"

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zortest {

// A loopback address no other test process uses: derived from the pid, with
// `index` telling apart the servers of one process (0 to 3).
std::string loopbackHost(int index);

// Started on construction, stopped by process id on destruction. The data
// directory survives stop() so that start() brings back the same bindings.
class NamingServer {
public:
    explicit NamingServer(int index = 0);
    // On a loopback address and port of the caller's choice, e.g. "::1".
    explicit NamingServer(std::string host, int port = 9999);
    // One of TAO's fault-tolerant pair ("--primary" or "--backup"), with the
    // pair's shared store in `store`.
    NamingServer(int index, std::string faultTolerantRole, std::string store);
    ~NamingServer();
    NamingServer(const NamingServer&) = delete;
    NamingServer& operator=(const NamingServer&) = delete;

    [[nodiscard]] const std::string& host() const { return host_; }
    void start();
    // SIGTERM for an orderly stop, SIGKILL for a crash.
    void stop(int signal = SIGTERM);
    // SIGSTOP, and wait until it has stopped: it keeps its connections and
    // accepts new ones, but answers nothing until resume().
    void pause() const;
    void resume() const;
    // pause(), and resume() once `paused` is over, while the caller goes on.
    void pauseFor(std::chrono::milliseconds paused);

private:
    std::string host_;
    int port_;
    std::string faultTolerantRole_;
    std::string store_;
    std::string dataDir_;
    int starts_ = 0;
    pid_t pid_ = -1;
    std::thread resumer_;
};

// TAO's fault-tolerant naming service as deployments run it: a primary and a
// backup that share one store, each on a loopback address of its own, the
// primary started first. Takes tao_ft_naming from ZORCLIENT_TEST_TAO_FT_NAMING,
// or from the TAO a TAO build was made with.
class FaultTolerantPair {
public:
    FaultTolerantPair();
    ~FaultTolerantPair();
    FaultTolerantPair(const FaultTolerantPair&) = delete;
    FaultTolerantPair& operator=(const FaultTolerantPair&) = delete;

    // Both in one host text, the primary first.
    [[nodiscard]] std::string hosts() const;

private:
    std::string store_;

public:
    NamingServer primary;
    NamingServer backup;
};

// Why the pair cannot run here, or empty.
std::string faultTolerantPairUnavailable();

// A server on `host`:9999 that accepts connections and never answers.
class SilentServer {
public:
    explicit SilentServer(const std::string& host);
    ~SilentServer();  // closes every connection: the calls on them fail
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    // Until `count` requests have arrived, over any of its connections (10 s
    // at most): those calls are then under way. False if they did not.
    bool waitForRequests(std::size_t count);

private:
    int listener_;
    std::mutex lock_;
    std::vector<int> peers_;
    std::thread acceptor_;
};

// The process's ORB, through the ORB library itself rather than zorclient;
// the library's ORB once it has one.
CORBA::ORB_ptr processOrb();

// Makes the next ORB creation in this process fail with a system exception,
// whichever ORB is underneath, until destroyed.
class OrbInitFailure {
public:
    OrbInitFailure();
    ~OrbInitFailure();
    OrbInitFailure(const OrbInitFailure&) = delete;
    OrbInitFailure& operator=(const OrbInitFailure&) = delete;

private:
    std::string endpoint_;
};

// The server's root context, reached the way any CORBA client would.
CosNaming::NamingContext_ptr rootContext(CORBA::ORB_ptr orb, const std::string& host);

// A naming-context reference for `host` made without contacting anything.
CosNaming::NamingContext_ptr offlineContext(CORBA::ORB_ptr orb, const std::string& host);

using zorexample::bindPath;
using zorexample::singleName;

// Binds a fresh naming context of the server's under first/second/third and
// returns it: a reference that resolves back the same from any naming service
// (a root context reached by URL may not).
CORBA::Object_ptr bindMarker(CosNaming::NamingContext_ptr root, const std::string& first,
                             const std::string& second, const std::string& third);

// Waits up to `limit` for the child `pid`: its exit status, or -1 if a
// signal ended it or it was still running then (it is killed).
int waitForChild(pid_t pid, std::chrono::seconds limit);

// Reads a file whole; empty if it cannot be read.
std::string readFile(const std::string& path);

}  // namespace zortest

#endif

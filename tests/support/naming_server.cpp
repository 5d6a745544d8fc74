// SPDX-License-Identifier: MIT
#include "naming_server.h"

#include "orb_runtime.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace zortest {
namespace {

constexpr int kPort = 9999;

bool isIpv6(const std::string& host) {
    return host.find(':') != std::string::npos;
}

// How the address is written inside an endpoint or URL.
std::string urlHost(const std::string& host) {
    return isIpv6(host) ? "[" + host + "]" : host;
}

// Written out here rather than taken from the library: the tests check it.
std::string namingUrl(const std::string& host) {
    return "corbaloc:iiop:1.1@" + urlHost(host) + ":" + std::to_string(kPort) + "/NameService";
}

bool acceptsConnections(const std::string& host, int port) {
    sockaddr_storage address{};
    socklen_t length = 0;
    if (isIpv6(host)) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr);
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, host.c_str(), &v4->sin_addr);
        length = sizeof *v4;
    }
    const int fd = socket(address.ss_family, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    close(fd);
    return connected;
}

// The server must not pick up ORB settings a test puts into its own
// environment. `extra` is added: TAO's programs need their library folder.
std::vector<char*> serverEnvironment(std::string& extra) {
    std::vector<char*> kept;
    if (!extra.empty()) {
        kept.push_back(extra.data());
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "ORB", 3) != 0 && std::strncmp(*entry, "OMNIORB", 7) != 0 &&
            std::strncmp(*entry, "TAO_", 4) != 0 &&
            (extra.empty() || std::strncmp(*entry, "LD_LIBRARY_PATH=", 16) != 0)) {
            kept.push_back(*entry);
        }
    }
    kept.push_back(nullptr);
    return kept;
}

// tao_ft_naming: named by the environment, else the TAO build's own.
std::string faultTolerantNamingPath() {
    if (const char* named = std::getenv("ZORCLIENT_TEST_TAO_FT_NAMING")) {
        return named;
    }
#if defined(ZORCLIENT_TEST_TAO_ROOT)
    return ZORCLIENT_TEST_TAO_ROOT "/bin/tao_ft_naming";
#else
    return "";
#endif
}

}  // namespace

std::string faultTolerantPairUnavailable() {
    const std::string path = faultTolerantNamingPath();
    if (path.empty()) {
        return "TAO's fault-tolerant naming service is not at hand: set "
               "ZORCLIENT_TEST_TAO_FT_NAMING to a tao_ft_naming";
    }
    if (access(path.c_str(), X_OK) != 0) {
        return "TAO's fault-tolerant naming service is not at " + path;
    }
    return "";
}

namespace {

std::string makeStore() {
    char pattern[] = "/tmp/zorclient-ft-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot create a store for tao_ft_naming");
    }
    std::filesystem::create_directories(std::string(pattern) + "/ns");
    std::filesystem::create_directories(std::string(pattern) + "/og");
    return pattern;
}

}  // namespace

FaultTolerantPair::FaultTolerantPair()
    : store_(makeStore()), primary(0, "--primary", store_), backup(1, "--backup", store_) {}

FaultTolerantPair::~FaultTolerantPair() {
    // A backup whose primary is gone can take its time to stop: the store
    // goes with the pair anyway.
    backup.stop(SIGKILL);
    primary.stop(SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(store_, ignored);
}

std::string FaultTolerantPair::hosts() const {
    return primary.host() + ":9999,iiop:1.1@" + backup.host();
}

std::string loopbackHost(int index) {
    const auto pid = static_cast<unsigned>(getpid());
    std::ostringstream host;
    host << "127." << 1 + index * 63 + ((pid >> 16) & 63) << '.' << ((pid >> 8) & 255) << '.'
         << (pid & 255);
    return host.str();
}

NamingServer::NamingServer(int index) : NamingServer(loopbackHost(index)) {}

NamingServer::NamingServer(int index, std::string faultTolerantRole, std::string store)
    : host_(loopbackHost(index)),
      port_(kPort),
      faultTolerantRole_(std::move(faultTolerantRole)),
      store_(std::move(store)) {
    char pattern[] = "/tmp/zorclient-ns-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot create a data directory for tao_ft_naming");
    }
    dataDir_ = pattern;
    start();
}

NamingServer::NamingServer(std::string host, int port) : host_(std::move(host)), port_(port) {
    char pattern[] = "/tmp/zorclient-ns-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("cannot create a data directory for omniNames");
    }
    dataDir_ = pattern;
    start();
}

NamingServer::~NamingServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dataDir_, ignored);
}

void NamingServer::start() {
    if (pid_ > 0) {
        return;
    }
    const std::string endpoint = "giop:tcp:" + urlHost(host_) + ":" + std::to_string(port_);
    // A log and a ready-file of its own per start: readiness is read from them.
    const std::string run = std::to_string(++starts_);
    const std::string log = dataDir_ + "/server-" + run + ".log";
    std::string readyFile = log;
    const char* readyText = "Root context is";  // omniNames logs it once the context is active
    std::vector<std::string> args;
    std::string libraryPath;
    if (!faultTolerantRole_.empty()) {
        const std::string ftNaming = faultTolerantNamingPath();
        libraryPath = "LD_LIBRARY_PATH=" +
                      std::filesystem::path(ftNaming).parent_path().parent_path().string() + "/lib";
        readyFile = dataDir_ + "/ior-" + run;
        readyText = "IOR:";
        args = {ftNaming,
                faultTolerantRole_,
                "-r",
                store_ + "/ns",
                "-v",
                store_ + "/og",
                "-o",
                readyFile,
                "-ORBEndpoint",
                "iiop://" + urlHost(host_) + ":" + std::to_string(port_),
                "-ORBDottedDecimalAddresses",
                "1"};
        if (faultTolerantRole_ == "--backup") {
            // Where the backup writes the pair's reference; without it, it stops.
            args.insert(args.end() - 4, {"-c", store_ + "/pair.ior"});
        }
    } else if (const char* taoNaming = std::getenv("ZORCLIENT_TEST_TAO_COSNAMING")) {
        libraryPath = "LD_LIBRARY_PATH=" +
                      std::filesystem::path(taoNaming).parent_path().parent_path().string() +
                      "/lib";
        readyFile = dataDir_ + "/ior-" + run;
        readyText = "IOR:";
        std::filesystem::create_directories(dataDir_ + "/persistence");
        args = {taoNaming,
                "-ORBEndpoint",
                "iiop://" + urlHost(host_) + ":" + std::to_string(port_),
                "-ORBDottedDecimalAddresses",
                "1",
                "-u",
                dataDir_ + "/persistence",
                "-o",
                readyFile};
    } else {
        args = {"omniNames", "-datadir", dataDir_,       "-nohostname",
                "-errlog",   log,        "-ORBendPoint", endpoint};
        if (starts_ == 1) {
            args.insert(args.begin() + 1, {"-start", std::to_string(port_)});
        }
    }
    std::vector<char*> argv(args.size() + 1, nullptr);
    std::transform(args.begin(), args.end(), argv.begin(),
                   [](std::string& arg) { return arg.data(); });
    std::vector<char*> env = serverEnvironment(libraryPath);

    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("cannot fork " + args[0]);
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
        const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        execvpe(argv[0], argv.data(), env.data());
        _exit(127);
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readFile(readyFile).find(readyText) == std::string::npos ||
           !acceptsConnections(host_, port_)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error(args[0] + " on " + host_ + " exited: " + readFile(log));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            throw std::runtime_error(args[0] + " on " + host_ + " did not start: " + readFile(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void NamingServer::pause() const {
    kill(pid_, SIGSTOP);
    int status = 0;
    waitpid(pid_, &status, WUNTRACED);
}

void NamingServer::resume() const {
    kill(pid_, SIGCONT);
    int status = 0;
    waitpid(pid_, &status, WCONTINUED);
}

void NamingServer::pauseFor(std::chrono::milliseconds paused) {
    if (resumer_.joinable()) {
        resumer_.join();
    }
    pause();
    resumer_ = std::thread([this, paused] {
        std::this_thread::sleep_for(paused);
        resume();
    });
}

void NamingServer::stop(int signal) {
    if (resumer_.joinable()) {
        resumer_.join();
    }
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, signal);
    kill(pid_, SIGCONT);  // a paused server takes its signal only once running
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

SilentServer::SilentServer(const std::string& host) : listener_(socket(AF_INET, SOCK_STREAM, 0)) {
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0) {
        close(listener_);
        throw std::runtime_error("cannot listen on " + host + ":9999");
    }
    acceptor_ = std::thread([this] {
        for (;;) {
            const int peer = accept(listener_, nullptr, nullptr);
            if (peer < 0) {
                return;
            }
            const std::lock_guard<std::mutex> guard(lock_);
            peers_.push_back(peer);  // held open, never read
        }
    });
}

SilentServer::~SilentServer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    acceptor_.join();
    for (const int peer : peers_) {
        close(peer);
    }
}

bool SilentServer::waitForRequests(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::size_t requests = 0;
        {
            const std::lock_guard<std::mutex> guard(lock_);
            for (const int peer : peers_) {
                // Every GIOP message starts with its magic; an ORB may send
                // several calls over one connection.
                std::string unread(1 << 16, '\0');
                const ssize_t got =
                    recv(peer, unread.data(), unread.size(), MSG_PEEK | MSG_DONTWAIT);
                unread.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
                for (std::size_t at = unread.find("GIOP"); at != std::string::npos;
                     at = unread.find("GIOP", at + 4)) {
                    ++requests;
                }
            }
        }
        if (requests >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

CORBA::ORB_ptr processOrb() {
    int argc = 0;
    return CORBA::ORB_init(argc, nullptr, OrbPlatform::orbInitId(OrbRuntime::kOrbId));
}

// omniORB rejects a malformed ORBgiopMaxMsgSize, TAO a malformed
// TAO_ORBENDPOINT; each ORB ignores the other's variable.
OrbInitFailure::OrbInitFailure() {
    const char* endpoint = std::getenv("TAO_ORBENDPOINT");
    endpoint_ = endpoint != nullptr ? endpoint : "";
    setenv("ORBgiopMaxMsgSize", "xyz", 1);
    setenv("TAO_ORBENDPOINT", "no-such-protocol", 1);
}

OrbInitFailure::~OrbInitFailure() {
    unsetenv("ORBgiopMaxMsgSize");
    setenv("TAO_ORBENDPOINT", endpoint_.c_str(), 1);
}

int waitForChild(pid_t pid, std::chrono::seconds limit) {
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CosNaming::NamingContext_ptr rootContext(CORBA::ORB_ptr orb, const std::string& host) {
    const CORBA::Object_var object = orb->string_to_object(namingUrl(host).c_str());
    return CosNaming::NamingContext::_narrow(object.in());
}

CosNaming::NamingContext_ptr offlineContext(CORBA::ORB_ptr orb, const std::string& host) {
    const CORBA::Object_var object = orb->string_to_object(namingUrl(host).c_str());
    return CosNaming::NamingContext::_unchecked_narrow(object.in());
}

CORBA::Object_ptr bindMarker(CosNaming::NamingContext_ptr root, const std::string& first,
                             const std::string& second, const std::string& third) {
    CosNaming::NamingContext_var marker = root->new_context();
    bindPath(root, first, second, third, marker.in());
    return marker._retn();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace zortest

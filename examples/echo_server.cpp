// SPDX-License-Identifier: MIT
// The example echo server. It starts the library's ORB, activates an Echo
// servant on the root POA, binds it under a three-part name on the naming
// service at HOST:9999 and serves from the library's event-loop thread until
// SIGINT or SIGTERM, when it unbinds the name and shuts the ORB down.
//
//   echo_server HOST FIRST SECOND THIRD
#include "bind_path.h"
#include "echo_servant.h"
#include "orb_runtime.h"
#include "zorclient.h"

#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>

namespace {

// shutdownOrb does not wait, and nothing can join the detached loop thread.
// Wait until the ORB reports itself shut down, then give that thread a moment
// to leave run(): destroying the ORB under it, or exiting while the ORB still
// shuts down, can crash the process.
void waitForLoopEnd(CORBA::ORB_ptr orb) {
    for (int i = 0; i < 500; ++i) {
        try {
            orb->work_pending();
        } catch (const CORBA::BAD_INV_ORDER&) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

int serve(const std::string& host, const std::string& first, const std::string& second,
          const std::string& third, const sigset_t& stopSignals) {
    initCorba(host, 0);
    const CosNaming::NamingContext_var names = getNameService();
    if (CORBA::is_nil(names.in())) {
        std::cerr << "echo_server: no naming service at " << host << ":9999\n";
        return 3;
    }
    const CORBA::ORB_var orb = OrbRuntime::getOrb();
    const PortableServer::POA_var poa = OrbRuntime::getRootPoa(orb.in());
    if (CORBA::is_nil(poa.in())) {
        std::cerr << "echo_server: the ORB has no root POA\n";
        return 1;
    }
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();

    zorexample::EchoServant servant;
    const PortableServer::ObjectId_var id = poa->activate_object(&servant);
    const CORBA::Object_var echo = poa->id_to_reference(id.in());
    zorexample::bindPath(names.in(), first, second, third, echo.in());
    if (OrbRuntime::startOrbThread(orb.in()) != 0) {
        std::cerr << "echo_server: cannot start the event loop\n";
        return 1;
    }
    std::cout << "echo_server: ready as " << first << '/' << second << '/' << third << " on "
              << host << ":9999" << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    zorexample::unbindPath(names.in(), first, second, third);
    poa->deactivate_object(id.in());
    if (OrbRuntime::shutdownOrb(orb.in()) != 0) {
        return 1;
    }
    waitForLoopEnd(orb.in());
    orb->destroy();
    std::cout << "echo_server: stopped on signal " << signal << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: echo_server HOST FIRST SECOND THIRD\n";
        return 2;
    }
    // Blocked before any thread starts, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        return serve(argv[1], argv[2], argv[3], argv[4], stopSignals);
    } catch (const CORBA::Exception& ex) {
        std::cerr << "echo_server: CORBA exception " << ex._name() << '\n';
        return 1;
    }
}

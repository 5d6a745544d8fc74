// SPDX-License-Identifier: MIT
// The example echo client: finds the echo service by its three-part name
// through zorclient, calls it and prints the reply and the round trip.
//
//   echo_client HOST FIRST SECOND THIRD [TEXT]
#include "echo.hh"
#include "zorclient.h"

#include <chrono>
#include <iostream>

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::cerr << "usage: echo_client HOST FIRST SECOND THIRD [TEXT]\n";
        return 2;
    }
    const std::string host = argv[1];
    const char* text = argc == 6 ? argv[5] : "hello from zorclient";
    try {
        initCorba(host, 0);
        const CORBA::Object_var object = createObject(argv[2], argv[3], argv[4]);
        const ZorExample::Echo_var echo = ZorExample::Echo::_narrow(object.in());
        if (CORBA::is_nil(echo.in())) {
            std::cerr << "echo_client: no echo service under " << argv[2] << '/' << argv[3] << '/'
                      << argv[4] << " at " << host << ":9999\n";
            return 1;
        }
        CORBA::String_var reply = echo->echoString(text);  // connects
        const auto start = std::chrono::steady_clock::now();
        reply = echo->echoString(text);
        const auto took = std::chrono::steady_clock::now() - start;
        std::cout << "echo_client: sent \"" << text << "\", got \"" << reply.in() << "\" in "
                  << std::chrono::duration_cast<std::chrono::microseconds>(took).count()
                  << " us round trip" << std::endl;
        return 0;
    } catch (const CORBA::Exception& ex) {
        std::cerr << "echo_client: CORBA exception " << ex._name() << '\n';
        return 1;
    }
}

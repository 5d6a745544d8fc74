// SPDX-License-Identifier: MIT
// Calls the three entry points of an installed zorclient. With no naming
// service at HOST:9999 both lookups come back nil; with one, the name
// FIRST/SECOND/THIRD is resolved.
#include <zorclient.h>

#include <iostream>

int main(int argc, char** argv) {
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    initCorba(host, 0);
    const CosNaming::NamingContext_var ctx = getNameService();
    const CORBA::Object_var object =
        createObject(argc > 2 ? argv[2] : "zorclient", argc > 3 ? argv[3] : "examples",
                     argc > 4 ? argv[4] : "echo");
    std::cout << "naming service at " << host
              << ":9999: " << (CORBA::is_nil(ctx.in()) ? "not reached" : "connected") << "; object "
              << (CORBA::is_nil(object.in()) ? "not found" : "found") << '\n';
    return 0;
}

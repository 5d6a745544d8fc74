// SPDX-License-Identifier: MIT
// The example's Echo servant: hands back what it is given. Shared by the
// example server and the tests that serve through the root POA.
#ifndef ZORCLIENT_EXAMPLES_ECHO_SERVANT_H
#define ZORCLIENT_EXAMPLES_ECHO_SERVANT_H

#include "echo.hh"

namespace zorexample {

class EchoServant : public POA_ZorExample::Echo {
public:
    char* echoString(const char* text) override { return CORBA::string_dup(text); }
};

}  // namespace zorexample

#endif

// Counts calls of CORBA::ORB_init made anywhere in the process, the shared
// object included, by standing in front of the ORB library's own function.
// A test executable that links this must export its symbols (ENABLE_EXPORTS).
#ifndef ZORCLIENT_TESTS_ORB_INIT_COUNTER_H
#define ZORCLIENT_TESTS_ORB_INIT_COUNTER_H

#include <string>

namespace zortest {

int orbInitCalls();
// The identifier given to the latest call.
std::string lastOrbInitId();

}  // namespace zortest

#endif

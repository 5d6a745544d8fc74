// SPDX-License-Identifier: MIT
// Stand-ins in front of the ORB's and ACE's own functions, for calls made
// anywhere in the process, the shared object included. A test executable
// that links these must export its symbols (ENABLE_EXPORTS).
#ifndef ZORCLIENT_TESTS_STAND_INS_H
#define ZORCLIENT_TESTS_STAND_INS_H

#include <ace/Thread.h>

#include <string>

namespace zortest {

// CORBA::ORB_init: how often it was called, and the identifier of the latest call.
int orbInitCalls();
std::string lastOrbInitId();
// Each later call waits this long before it goes on: a wide race window.
void delayOrbInit(int milliseconds);
// The next call returns a nil ORB instead of calling the ORB library.
void returnNilFromNextOrbInit();

// ACE_OS::thr_create, which ACE_Thread::spawn calls: the latest spawn's
// arguments, and what its thread function returned once it has.
struct SpawnRecord {
    ACE_THR_FUNC function = nullptr;
    void* argument = nullptr;
    long flags = 0;
    long priority = -1;
    void* stack = nullptr;
    size_t stackSize = 1;
    bool ended = false;
    long threadId = 0;
    ACE_THR_FUNC_RETURN result = nullptr;
};
SpawnRecord lastSpawn();
// How many threads were spawned so.
int spawnCount();
// Until the latest spawned thread's function has returned and the thread has
// exited (10 s at most). ACE's clean-up of that detached thread then happens
// before ACE's own at process exit, as ThreadSanitizer can see.
bool waitForSpawnedExit();

// getaddrinfo as every test process sees it: how often it was asked for
// `name`, and a delay before each answer from now on.
int nameLookups(const std::string& name);
void delayNameLookups(int milliseconds);

}  // namespace zortest

#endif

// SPDX-License-Identifier: MIT
// The library through a whole process life: loading, unloading, exiting and
// the host destroying the ORB, each scenario in a process of its own.
#include "support/naming_server.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace {

// Runs process_host and returns its wait status.
int hostProcess(const std::string& scenario, const std::string& host) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl(PROCESS_HOST_PATH, PROCESS_HOST_PATH, scenario.c_str(), host.c_str(),
              ZORCLIENT_LIBRARY_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

class ProcessLife : public ::testing::TestWithParam<const char*> {};

TEST_P(ProcessLife, ExitsCleanly) {
    const zortest::NamingServer server;
    const int status = hostProcess(GetParam(), server.host());
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

void bindABC(const zortest::NamingServer& server) {
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    zortest::bindPath(root.in(), "a", "b", "c", root.in());
}

// A host that links the ORB's core only unloads the library and exits: what
// the library's load registered with the ORB must outlive the unload. Another
// module's ORB library, loaded before, is left to be unloaded as usual.
TEST(ProcessLife, PlainClientUnloadsTheLibraryAndExits) {
    const zortest::NamingServer server;
    bindABC(server);
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("ZORTEST_OTHER_ORB_LIBRARY", OTHER_ORB_LIBRARY_PATH, 1);
        execl(PLAIN_CLIENT_HOST_PATH, PLAIN_CLIENT_HOST_PATH, server.host().c_str(),
              ZORCLIENT_LIBRARY_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A host that created its ORB before it loaded the library, as hosts of
// modules do, gets the time bound on the library's calls and on its calls
// only.
TEST(ProcessLife, PlainClientWithItsOwnOrbGetsTheBound) {
    const zortest::NamingServer server;
    bindABC(server);
    const std::string silentHost = zortest::loopbackHost(1);  // of this process, not the host's
    std::optional<zortest::SilentServer> silent(std::in_place, silentHost);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        setenv("ZORCLIENT_TIMEOUT_MS", "500", 1);
        execl(PLAIN_CLIENT_HOST_PATH, PLAIN_CLIENT_HOST_PATH, server.host().c_str(),
              ZORCLIENT_LIBRARY_PATH, silentHost.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string said;
    char c = 0;
    while (said.find('\n') == std::string::npos && read(out[0], &c, 1) == 1) {
        said += c;
    }
    close(out[0]);
    EXPECT_EQ(said, "own call waiting\n");
    silent.reset();  // ends the host's own call
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ProcessLife,
                         ::testing::Values("exit-while-held", "loop-shutdown-exit",
                                           "dlclose-while-held", "destroy-then-exit",
                                           "dlclose-then-destroy"),
                         [](const ::testing::TestParamInfo<const char*>& scenario) {
                             std::string name = scenario.param;
                             for (char& c : name) {
                                 c = c == '-' ? '_' : c;
                             }
                             return name;
                         });

}  // namespace

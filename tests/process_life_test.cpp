// The library through a whole process life: loading, unloading, exiting and
// the host destroying the ORB, each scenario in a process of its own.
#include "support/naming_server.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

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

// A host that links the ORB's core only unloads the library and exits: what
// the library's load registered with the ORB must outlive the unload.
TEST(ProcessLife, PlainClientUnloadsTheLibraryAndExits) {
    const zortest::NamingServer server;
    {
        const CORBA::ORB_var orb = zortest::processOrb();
        const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
        zortest::bindPath(root.in(), "a", "b", "c", root.in());
    }
    const pid_t pid = fork();
    if (pid == 0) {
        execl(PLAIN_CLIENT_HOST_PATH, PLAIN_CLIENT_HOST_PATH, server.host().c_str(),
              ZORCLIENT_LIBRARY_PATH, static_cast<char*>(nullptr));
        _exit(127);
    }
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

// zor-resolve's output and exit codes against a real naming service.
#include "support/naming_server.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct ToolRun {
    int exitCode;
    std::string out;
};

ToolRun zorResolve(const std::string& arguments) {
    const std::string command = std::string(ZOR_RESOLVE_PATH) + " " + arguments + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");  // NOLINT(cert-env33-c): our own tool, fixed path
    ToolRun run{-1, ""};
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.out.append(buffer, got);
    }
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(ZorResolve, ExitCodesTellTheOutcomes) {
    const zortest::NamingServer server;
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    const CORBA::Object_var marker = zortest::bindMarker(root.in(), "app", "services", "echo");

    const ToolRun found = zorResolve(server.host() + " app services echo");
    EXPECT_EQ(found.exitCode, 0);
    ASSERT_EQ(found.out.rfind("IOR:", 0), 0U) << found.out;
    const CORBA::Object_var printed =
        orb->string_to_object(found.out.substr(0, found.out.find('\n')).c_str());
    EXPECT_TRUE(printed->_is_equivalent(marker.in()));

    EXPECT_EQ(zorResolve(server.host() + " app services missing").exitCode, 1);
    EXPECT_EQ(zorResolve(zortest::loopbackHost(1) + " app services echo").exitCode, 3);
    EXPECT_EQ(zorResolve(server.host() + " app services").exitCode, 2);
    EXPECT_EQ(zorResolve("").exitCode, 2);

    const ToolRun help = zorResolve("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: zor-resolve HOST FIRST SECOND THIRD"), std::string::npos);
}

}  // namespace

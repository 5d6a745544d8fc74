// SPDX-License-Identifier: MIT
// zor-resolve's output and exit codes against a real naming service.
#include "support/host_texts.h"
#include "support/naming_server.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct ToolRun {
    int exitCode;
    std::string out;  // standard output, then standard error
};

// `command` runs in place of the tool itself when given, e.g. with variables set.
// Standard error is captured first, so `arguments` may send standard output elsewhere.
ToolRun zorResolve(const std::string& arguments, const std::string& command = ZOR_RESOLVE_PATH) {
    const std::string line = command + " 2>&1 " + arguments;
    FILE* pipe = popen(line.c_str(), "r");  // NOLINT(cert-env33-c): our own tool, fixed path
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

bool mentions(const ToolRun& run, const std::string& text) {
    return run.out.find(text) != std::string::npos;
}

TEST(ZorResolve, ExitCodesTellTheOutcomes) {
    zortest::NamingServer server;
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    const CORBA::Object_var marker = zortest::bindMarker(root.in(), "app", "services", "echo");

    const ToolRun found = zorResolve(server.host() + " app services echo");
    EXPECT_EQ(found.exitCode, 0);
    ASSERT_EQ(found.out.rfind("IOR:", 0), 0U) << found.out;
    const CORBA::Object_var printed =
        orb->string_to_object(found.out.substr(0, found.out.find('\n')).c_str());
    EXPECT_TRUE(printed->_is_equivalent(marker.in()));

    EXPECT_EQ(zorResolve("--timeout-ms=300 " + server.host() + " app services echo").exitCode, 0);
    EXPECT_EQ(zorResolve(server.host() + " app services missing").exitCode, 1);
    // Output that cannot be written is no success.
    for (const std::string& lookup :
         {server.host() + " app services echo", std::string("--help"), std::string("--version")}) {
        const ToolRun full = zorResolve(lookup + " >/dev/full");
        EXPECT_EQ(full.exitCode, 6) << lookup << ": " << full.out;
        EXPECT_TRUE(mentions(full, "could not be written")) << full.out;
    }
    // A lookup that leads into a second service that has stopped answering.
    zortest::NamingServer other(1);
    const CosNaming::NamingContext_var otherRoot = zortest::rootContext(orb.in(), other.host());
    root->bind_context(zortest::singleName("elsewhere"), otherRoot.in());
    other.pause();
    // A name that holds the "not bound" marker itself is no answer either.
    for (const char* rest : {" elsewhere b c", " elsewhere NamingContext NotFound:x"}) {
        const ToolRun stalled = zorResolve("--timeout-ms 300 " + server.host() + rest);
        EXPECT_EQ(stalled.exitCode, 5) << rest << ": " << stalled.out;
    }
    other.resume();
    EXPECT_EQ(zorResolve(zortest::loopbackHost(2) + " app services echo").exitCode, 3);

    server.pause();
    const ToolRun silent = zorResolve("--timeout-ms 300 " + server.host() + " app services echo");
    server.resume();
    EXPECT_EQ(silent.exitCode, 3) << silent.out;
    EXPECT_TRUE(mentions(silent, "TIMEOUT")) << silent.out;

    for (const char* usage : {"", "--timeout-ms 300", "--timeout-ms 300 h a b", "h a b"}) {
        EXPECT_EQ(zorResolve(usage).exitCode, 2) << usage;
    }
    // A host text the library refuses is a usage error, with its reason.
    const ToolRun refusedHost = zorResolve(server.host() + ":9999 app services echo");
    EXPECT_EQ(refusedHost.exitCode, 2) << refusedHost.out;
    EXPECT_EQ(refusedHost.out, "zor-resolve: the library adds the port (:9999) itself; write '" +
                                   server.host() + "'\n");
    for (const auto& [host, reason] : zortest::misleadingHostTexts()) {
        const ToolRun misleading = zorResolve("'" + host + "' app services echo");
        EXPECT_EQ(misleading.exitCode, 2) << host;
        EXPECT_EQ(misleading.out, "zor-resolve: " + reason + "\n");
    }
    // A time bound that is no whole number of milliseconds is refused before
    // anything is contacted: the silent listener would hold an unbounded call.
    const zortest::SilentServer silentListener(zortest::loopbackHost(3));
    const std::string silentLookup = zortest::loopbackHost(3) + " app services echo";
    for (const char* bad : {"abc", "5s", "-1", "99999999999", "4294967296", "''"}) {
        for (const char* option : {"--timeout-ms ", "--timeout-ms="}) {
            const ToolRun refused = zorResolve(option + std::string(bad) + " " + silentLookup);
            EXPECT_EQ(refused.exitCode, 2) << option << bad << ": " << refused.out;
            EXPECT_TRUE(mentions(refused, "not a whole number of milliseconds")) << refused.out;
        }
        EXPECT_EQ(zorResolve("", "ZORCLIENT_TIMEOUT_MS=" + std::string(bad) + " " +
                                     ZOR_RESOLVE_PATH + " " + silentLookup)
                      .exitCode,
                  std::string(bad) == "''" ? 3 : 2)
            << bad;
    }
    // An ORB library that gives no ORB, or throws what is no CORBA exception.
    for (const char* failure : {"nil", "throw"}) {
        const ToolRun broken = zorResolve("", "ZORTEST_ORB_INIT=" + std::string(failure) +
                                                  " LD_PRELOAD=" ORB_INIT_PRELOAD_PATH
                                                  " ASAN_OPTIONS=verify_asan_link_order=0 "
                                                  "ZORCLIENT_TIMEOUT_MS=300 " ZOR_RESOLVE_PATH " " +
                                                  silentLookup);
        EXPECT_EQ(broken.exitCode, 4) << failure << ": " << broken.out;
        EXPECT_TRUE(mentions(broken, "the ORB could not start")) << broken.out;
    }
    // The help, the usage line and the manual page name every option and
    // exit status alike; the help says that HOST may be a list.
    const ToolRun help = zorResolve("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(zorResolve("-h").out, help.out);
    const std::string usage = zorResolve("").out;
    const std::string manual = zortest::readFile(ZOR_RESOLVE_MANUAL_PATH);
    EXPECT_TRUE(mentions(help, "ns1,iiop:1.1@ns2"));
    for (const char* option : {"--timeout-ms MS", "--timeout-ms=MS", "[FIRST [SECOND]]"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    for (const char* option : {"--timeout-ms", "--list", "-h", "--help", "--version"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
        std::string roff;  // as the manual page writes it
        for (const char* c = option; *c != '\0'; ++c) {
            roff += *c == '-' ? "\\-" : std::string(1, *c);
        }
        EXPECT_TRUE(manual.find(".B " + roff) != std::string::npos ||
                    manual.find("\\fB" + roff + "\\fR") != std::string::npos)
            << option;
    }
    for (const char* status : {"0", "1", "2", "3", "4", "5", "6"}) {
        EXPECT_TRUE(mentions(help, "  " + std::string(status) + "  ")) << status;
        EXPECT_NE(manual.find(".B " + std::string(status) + "\n"), std::string::npos) << status;
    }
    const ToolRun version = zorResolve("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "zor-resolve " ZORCLIENT_VERSION "\n");
}

// --list prints every binding of a context, through the service's iterator
// past the first batch, and tells a context that is not bound.
TEST(ZorResolve, ListsTheBindingsOfAContext) {
    zortest::NamingServer server;
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), server.host());
    const CORBA::Object_var marker = zortest::bindMarker(root.in(), "app", "services", "echo");
    const CORBA::Object_var many = zortest::bindMarker(root.in(), "app", "many", "0");
    std::string expected = "0\tobject\n";
    for (int i = 1; i < 250; ++i) {
        zortest::bindPath(root.in(), "app", "many", std::to_string(i), marker.in());
        expected += std::to_string(i) + "\tobject\n";
    }
    const struct {
        std::string arguments;
        int exitCode;
        std::string out;
    } cases[] = {
        {"--list " + server.host(), 0, "app\tcontext\n"},
        {"--timeout-ms 300 --list " + server.host() + " app", 0,
         "services\tcontext\nmany\tcontext\n"},
        {"--list --timeout-ms=300 " + server.host() + " app services", 0, "echo\tobject\n"},
        {"--list " + server.host() + " app gone", 1,
         "zor-resolve: no naming context is bound under app/gone at " + server.host() +
             " (port 9999)\n"},
        {"--list " + server.host() + " app many/x", 1, ""},
        {"--list", 2, ""},
        {"--list " + server.host() + " a b c", 2, ""},
    };
    for (const auto& c : cases) {
        const ToolRun run = zorResolve(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << ": " << run.out;
        if (!c.out.empty()) {
            EXPECT_EQ(run.out, c.out) << c.arguments;
        }
    }
    const ToolRun listed = zorResolve("--list " + server.host() + " app many | sort -n");
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.out, expected);
    // A list of replicas is named as written, without a port appended to it.
    const std::string replicas = zortest::loopbackHost(2) + ",iiop:1.1@" + zortest::loopbackHost(3);
    EXPECT_TRUE(
        mentions(zorResolve("--timeout-ms 300 " + replicas + " a b c"),
                 "zor-resolve: no naming service answered at " + replicas + " (port 9999)\n"));
}

TEST(ZorResolve, BareIpv6HostReachesTheSameServiceAsItsBracketedForm) {
#if defined(ZORCLIENT_ORB_TAO)
    GTEST_SKIP() << "the TAO build used here has no IPv6 (ACE_HAS_IPV6 unset)";
#endif
    const zortest::NamingServer server("::1");
    const CORBA::ORB_var orb = zortest::processOrb();
    const CosNaming::NamingContext_var root = zortest::rootContext(orb.in(), "::1");
    const CORBA::Object_var marker = zortest::bindMarker(root.in(), "app", "services", "echo");
    for (const char* host : {"::1", "[::1]"}) {
        const ToolRun found = zorResolve(std::string(host) + " app services echo");
        EXPECT_EQ(found.exitCode, 0) << host << ": " << found.out;
    }
}

}  // namespace

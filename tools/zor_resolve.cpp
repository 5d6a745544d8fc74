// SPDX-License-Identifier: MIT
// zor-resolve: prints the stringified reference of the object bound under a
// three-part name on the naming service at HOST:9999, through the library's
// exported functions.
#include "orb_platform.h"
#include "orb_runtime.h"
#include "zorclient.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>

namespace {

// Exit codes, one per outcome a person can act on.
enum ExitCode {
    kFound = 0,
    kNotBound = 1,
    kUsage = 2,
    kNoNamingService = 3,
    kOrbFailed = 4,
    kLookupFailed = 5,
    kOutputFailed = 6
};

constexpr const char* kDefaultTimeoutMs = "3000";

constexpr const char* kUsageText =
    "usage: zor-resolve [--timeout-ms MS] HOST FIRST SECOND THIRD\n"
    "       zor-resolve --help | --version\n"
    "\n"
    "Looks up FIRST/SECOND/THIRD on the CORBA naming service at HOST:9999 and\n"
    "prints the object's reference (IOR:...). HOST may be a name, an IPv4\n"
    "address or an IPv6 address, bracketed or not.\n"
    "\n"
    "  --timeout-ms MS, --timeout-ms=MS\n"
    "                   give up on each remote call after MS milliseconds, a whole\n"
    "                   number up to 4294967295 (default: $ZORCLIENT_TIMEOUT_MS\n"
    "                   unless empty, else 3000; 0: wait for ever)\n"
    "  --help           print this text\n"
    "  --version        print the version\n"
    "\n"
    "Exit status:\n"
    "  0  found\n"
    "  1  the naming service says nothing is bound under that name\n"
    "  2  usage error, a HOST text the library refuses included (the reason is\n"
    "     printed)\n"
    "  3  no naming service answered at HOST:9999 (nothing listens, it did not\n"
    "     answer in time, or it is not a naming service)\n"
    "  4  the ORB could not start\n"
    "  5  the lookup failed otherwise: the service stopped answering, timed out,\n"
    "     or could not resolve the name (the reason is printed)\n"
    "  6  the output could not be written\n";

// A whole number of milliseconds that the library takes as it stands.
bool isTimeout(const char* text) {
    if (*text == '\0' || std::strlen(text) > 10) {
        return false;
    }
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
    }
    return std::strtoull(text, nullptr, 10) <= 0xFFFFFFFFULL;
}

// What goes to standard output counts only once it is written: a full disk
// or a closed pipe is a failure of its own, not a success.
int writeOut(const char* text, int status) {
    std::cout << text;
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "zor-resolve: the output could not be written\n";
        return kOutputFailed;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        return writeOut(kUsageText, kFound);
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        return writeOut("zor-resolve " ZORCLIENT_VERSION "\n", kFound);
    }
    const char* timeoutMs = std::getenv("ZORCLIENT_TIMEOUT_MS");
    const char* timeoutFrom = "ZORCLIENT_TIMEOUT_MS";
    if (timeoutMs == nullptr || *timeoutMs == '\0') {
        timeoutMs = kDefaultTimeoutMs;
    }
    char** args = argv + 1;
    const std::string first = argc >= 2 ? args[0] : "";
    const std::string joinedTimeout = "--timeout-ms=";
    if (argc >= 3 && first == "--timeout-ms") {
        timeoutMs = args[1];
        timeoutFrom = "--timeout-ms";
        args += 2;
        argc -= 2;
    } else if (first.rfind(joinedTimeout, 0) == 0) {
        timeoutMs = args[0] + joinedTimeout.size();
        timeoutFrom = "--timeout-ms";
        args += 1;
        argc -= 1;
    }
    if (argc != 5) {
        std::cerr << kUsageText;
        return kUsage;
    }
    if (!isTimeout(timeoutMs)) {
        std::cerr << "zor-resolve: " << timeoutFrom << " '" << timeoutMs
                  << "' is not a whole number of milliseconds up to 4294967295\n";
        return kUsage;
    }
    // A host text the library refuses is the caller's mistake: nothing is
    // contacted, and the library's reason says what to write.
    if (const std::string problem = OrbRuntime::hostTextProblem(args[0]); !problem.empty()) {
        std::cerr << "zor-resolve: " << problem << '\n';
        return kUsage;
    }
    // The library reads both when it creates its ORB; the trace says why a
    // connection gave nothing.
    setenv("ZORCLIENT_TIMEOUT_MS", timeoutMs, 1);
    setenv("ZORCLIENT_TRACE", "1", 1);

    // The library's ORB: every ORB_init in the process shares it, and a nil
    // one here is a nil one there.
    const std::string host = args[0];
    CORBA::ORB_var orb;
    try {
        int noArguments = 0;
        orb = CORBA::ORB_init(noArguments, nullptr, OrbPlatform::orbInitId("ZOR_CLIENT_ORB"));
        if (!CORBA::is_nil(orb.in())) {
            initCorba(host, 0);
        }
    } catch (const CORBA::SystemException& ex) {
        std::cerr << "zor-resolve: the ORB could not start: "
                  << OrbPlatform::systemExceptionText(ex) << '\n';
        return kOrbFailed;
    } catch (const CORBA::Exception& ex) {
        std::cerr << "zor-resolve: the ORB could not start: " << ex._rep_id() << '\n';
        return kOrbFailed;
    } catch (const std::exception& ex) {
        std::cerr << "zor-resolve: the ORB could not start: " << ex.what() << '\n';
        return kOrbFailed;
    } catch (...) {
        std::cerr << "zor-resolve: the ORB could not start: an exception of unknown type\n";
        return kOrbFailed;
    }
    if (CORBA::is_nil(orb.in())) {
        std::cerr << "zor-resolve: the ORB could not start: the ORB library gave no ORB\n";
        return kOrbFailed;
    }
    const CosNaming::NamingContext_var names = getNameService();
    if (CORBA::is_nil(names.in())) {
        std::cerr << "zor-resolve: no naming service answered at " << host << ":9999\n";
        return kNoNamingService;
    }
    const std::string path = std::string(args[1]) + '/' + args[2] + '/' + args[3];
    // The library's lookup, which passes over replicas that do not answer.
    // Should it give nothing, its trace line says why, and only that tells
    // "not bound" from a lookup that failed: asking again could reach a
    // replica the lookup had to pass over.
    std::ostringstream trace;
    std::streambuf* const stderrBuffer = std::cerr.rdbuf(trace.rdbuf());
    const CORBA::Object_var object = createObject(args[1], args[2], args[3]);
    std::cerr.rdbuf(stderrBuffer);
    if (CORBA::is_nil(object.in())) {
        // The line ends with the reason, the last attempt's; the name before
        // it may hold any text, that marker too.
        const std::string said = trace.str();
        const std::string notFound = "/NamingContext/NotFound:1.0'\n";
        if (said.size() >= notFound.size() &&
            said.compare(said.size() - notFound.size(), notFound.size(), notFound) == 0) {
            std::cerr << "zor-resolve: nothing is bound under " << path << " at " << host
                      << ":9999\n";
            return kNotBound;
        }
        std::cerr << trace.str() << "zor-resolve: looking up " << path << " at " << host
                  << ":9999 failed\n";
        return kLookupFailed;
    }
    const CORBA::String_var reference = orb->object_to_string(object.in());
    const std::string line = std::string(reference.in()) + '\n';
    return writeOut(line.c_str(), kFound);
}

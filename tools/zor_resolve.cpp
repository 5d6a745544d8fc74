// SPDX-License-Identifier: MIT
// zor-resolve: prints the stringified reference of the object bound under a
// three-part name on the naming service at HOST:9999, through the library's
// exported functions, or lists the bindings of one of its contexts.
#include "orb_platform.h"
#include "orb_runtime.h"
#include "zorclient.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

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
    "usage: zor-resolve [--timeout-ms MS | --timeout-ms=MS] HOST FIRST SECOND THIRD\n"
    "       zor-resolve [--timeout-ms MS | --timeout-ms=MS] --list HOST [FIRST [SECOND]]\n"
    "       zor-resolve -h | --help | --version\n"
    "\n"
    "Looks up FIRST/SECOND/THIRD on the CORBA naming service at HOST, port 9999,\n"
    "and prints the object's reference (IOR:...). With --list, prints the\n"
    "bindings of the service's root context, or of the context bound under FIRST\n"
    "or FIRST/SECOND, one a line: the name, a tab, and 'object' or 'context'.\n"
    "HOST is a host name, an IPv4 address or an IPv6 address (bracketed or not),\n"
    "or a list of replicas of one service, each entry after the first with its\n"
    "protocol: ns1,iiop:1.1@ns2.\n"
    "\n"
    "  --timeout-ms MS, --timeout-ms=MS\n"
    "                   give up on each remote call after MS milliseconds, a whole\n"
    "                   number up to 4294967295 (default: $ZORCLIENT_TIMEOUT_MS\n"
    "                   unless empty, else 3000; 0: wait for ever)\n"
    "  --list           list the bindings of a context instead of looking up\n"
    "  -h, --help       print this text\n"
    "  --version        print the version\n"
    "\n"
    "Exit status:\n"
    "  0  found, or listed\n"
    "  1  the naming service says nothing is bound under that name (with --list:\n"
    "     no naming context is bound there)\n"
    "  2  usage error, a HOST text the library refuses included (the reason is\n"
    "     printed)\n"
    "  3  no naming service answered at HOST (nothing listens, it did not answer\n"
    "     in time, or it is not a naming service)\n"
    "  4  the ORB could not start\n"
    "  5  the lookup failed otherwise: the service stopped answering, timed out,\n"
    "     or could not proceed (the reason is printed)\n"
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

// A name as the Interoperable Naming Service writes it: id, then '.' and
// kind when there is one, with '/', '.' and '\\' escaped.
std::string stringified(const CosNaming::Name& name) {
    std::string text;
    const auto escaped = [](const char* part) {
        std::string out;
        for (; *part != '\0'; ++part) {
            if (*part == '/' || *part == '.' || *part == '\\') {
                out += '\\';
            }
            out += *part;
        }
        return out;
    };
    for (CORBA::ULong i = 0; i < name.length(); ++i) {
        text += (i == 0 ? "" : "/") + escaped(name[i].id.in());
        if (*name[i].kind.in() != '\0' || *name[i].id.in() == '\0') {
            text += "." + escaped(name[i].kind.in());
        }
    }
    return text;
}

void appendBindings(std::string& out, const CosNaming::BindingList& bindings) {
    for (CORBA::ULong i = 0; i < bindings.length(); ++i) {
        out += stringified(bindings[i].binding_name) +
               (bindings[i].binding_type == CosNaming::ncontext ? "\tcontext\n" : "\tobject\n");
    }
}

// The bindings of the context under `path` (none: the root), one a line, as
// a naming service hands out a long list: a first batch, then the rest
// through an iterator. Every call has the bound.
int listBindings(CORBA::ORB_ptr orb, CosNaming::NamingContext_ptr root,
                 const std::vector<std::string>& path, const std::string& shown) {
    constexpr CORBA::ULong kBatch = 100;
    std::string out;
    try {
        CosNaming::NamingContext_var context = CosNaming::NamingContext::_duplicate(root);
        if (!path.empty()) {
            CosNaming::Name name;
            name.length(static_cast<CORBA::ULong>(path.size()));
            for (CORBA::ULong i = 0; i < name.length(); ++i) {
                name[i].id = CORBA::string_dup(path[i].c_str());
            }
            const CORBA::Object_var found = root->resolve(name);
            const CORBA::Object_var bounded =
                OrbRuntime::boundedObject(orb, found.in(), OrbRuntime::wholeBound());
            context = CosNaming::NamingContext::_narrow(bounded.in());
            if (CORBA::is_nil(context.in())) {
                throw CosNaming::NamingContext::NotFound(CosNaming::NamingContext::not_context,
                                                         name);
            }
        }
        CosNaming::BindingList_var batch;
        CosNaming::BindingIterator_var rest;
        context->list(kBatch, batch.out(), rest.out());
        appendBindings(out, batch.in());
        if (!CORBA::is_nil(rest.in())) {
            const CORBA::Object_var bounded =
                OrbRuntime::boundedObject(orb, rest.in(), OrbRuntime::wholeBound());
            rest = CosNaming::BindingIterator::_unchecked_narrow(bounded.in());
            while (rest->next_n(kBatch, batch.out())) {
                appendBindings(out, batch.in());
            }
            rest->destroy();  // the service may keep it until then
        }
    } catch (const CosNaming::NamingContext::NotFound&) {
        std::cerr << "zor-resolve: no naming context is bound under " << shown << "\n";
        return kNotBound;
    } catch (const CORBA::SystemException& ex) {
        std::cerr << "zor-resolve: listing " << shown
                  << " failed: " << OrbPlatform::systemExceptionText(ex) << '\n';
        return kLookupFailed;
    } catch (const CORBA::Exception& ex) {
        std::cerr << "zor-resolve: listing " << shown << " failed: " << ex._rep_id() << '\n';
        return kLookupFailed;
    }
    return writeOut(out.c_str(), kFound);
}

// The library's trace names the variable it read the bound from; the tool
// set that variable from its option.
std::string namingTheOption(std::string trace, const char* timeoutMs) {
    const std::string variable = std::string(OrbRuntime::kCallTimeoutVariable) + "=" + timeoutMs;
    for (std::size_t at = trace.find(variable); at != std::string::npos;
         at = trace.find(variable, at)) {
        trace.replace(at, variable.size(), std::string("--timeout-ms ") + timeoutMs);
    }
    return trace;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all(argv + 1, argv + argc);
    if (all.size() == 1 && (all[0] == "--help" || all[0] == "-h")) {
        return writeOut(kUsageText, kFound);
    }
    if (all.size() == 1 && all[0] == "--version") {
        return writeOut("zor-resolve " ZORCLIENT_VERSION "\n", kFound);
    }
    const char* timeoutMs = std::getenv(OrbRuntime::kCallTimeoutVariable);
    bool timeoutFromOption = false;
    if (timeoutMs == nullptr || *timeoutMs == '\0') {
        timeoutMs = kDefaultTimeoutMs;
    }
    bool listing = false;
    std::size_t next = 0;
    const std::string joinedTimeout = "--timeout-ms=";
    for (; next < all.size(); ++next) {
        if (all[next] == "--list") {
            listing = true;
        } else if (all[next] == "--timeout-ms" && next + 1 < all.size()) {
            timeoutMs = argv[1 + ++next];
            timeoutFromOption = true;
        } else if (all[next].rfind(joinedTimeout, 0) == 0) {
            timeoutMs = argv[1 + next] + joinedTimeout.size();
            timeoutFromOption = true;
        } else {
            break;
        }
    }
    const std::vector<std::string> args(all.begin() + static_cast<std::ptrdiff_t>(next), all.end());
    if (listing ? args.empty() || args.size() > 3 : args.size() != 4) {
        std::cerr << kUsageText;
        return kUsage;
    }
    if (!isTimeout(timeoutMs)) {
        std::cerr << "zor-resolve: "
                  << (timeoutFromOption ? "--timeout-ms" : OrbRuntime::kCallTimeoutVariable) << " '"
                  << timeoutMs << "' is not a whole number of milliseconds up to 4294967295\n";
        return kUsage;
    }
    const std::string& host = args[0];
    // A host text the library refuses is the caller's mistake: nothing is
    // contacted, and the library's reason says what to write.
    if (const std::string problem = OrbRuntime::hostTextProblem(host); !problem.empty()) {
        std::cerr << "zor-resolve: " << problem << '\n';
        return kUsage;
    }
    // The library reads both when it creates its ORB; the trace says why a
    // connection gave nothing.
    setenv(OrbRuntime::kCallTimeoutVariable, timeoutMs, 1);
    setenv(OrbRuntime::kTraceVariable, "1", 1);
    const auto traced = [&](const std::ostringstream& trace) {
        return timeoutFromOption ? namingTheOption(trace.str(), timeoutMs) : trace.str();
    };

    // The library's ORB: every ORB_init in the process shares it, and a nil
    // one here is a nil one there. Its trace is caught, to be printed as the
    // tool means it.
    CORBA::ORB_var orb;
    std::ostringstream connecting;
    std::streambuf* const stderrBuffer = std::cerr.rdbuf();
    try {
        int noArguments = 0;
        orb = CORBA::ORB_init(noArguments, nullptr, OrbPlatform::orbInitId("ZOR_CLIENT_ORB"));
        if (!CORBA::is_nil(orb.in())) {
            std::cerr.rdbuf(connecting.rdbuf());
            initCorba(host, 0);
            std::cerr.rdbuf(stderrBuffer);
        }
    } catch (const CORBA::SystemException& ex) {
        std::cerr.rdbuf(stderrBuffer);
        std::cerr << "zor-resolve: the ORB could not start: "
                  << OrbPlatform::systemExceptionText(ex) << '\n';
        return kOrbFailed;
    } catch (const CORBA::Exception& ex) {
        std::cerr.rdbuf(stderrBuffer);
        std::cerr << "zor-resolve: the ORB could not start: " << ex._rep_id() << '\n';
        return kOrbFailed;
    } catch (const std::exception& ex) {
        std::cerr.rdbuf(stderrBuffer);
        std::cerr << "zor-resolve: the ORB could not start: " << ex.what() << '\n';
        return kOrbFailed;
    } catch (...) {
        std::cerr.rdbuf(stderrBuffer);
        std::cerr << "zor-resolve: the ORB could not start: an exception of unknown type\n";
        return kOrbFailed;
    }
    std::cerr << traced(connecting);
    if (CORBA::is_nil(orb.in())) {
        std::cerr << "zor-resolve: the ORB could not start: the ORB library gave no ORB\n";
        return kOrbFailed;
    }
    const std::string at = " at " + host + " (port 9999)";
    const CosNaming::NamingContext_var names = getNameService();
    if (CORBA::is_nil(names.in())) {
        std::cerr << "zor-resolve: no naming service answered" << at << "\n";
        return kNoNamingService;
    }
    std::string path;
    for (std::size_t i = 1; i < args.size(); ++i) {
        path += (i == 1 ? "" : "/") + args[i];
    }
    if (listing) {
        return listBindings(orb.in(), names.in(), {args.begin() + 1, args.end()},
                            (path.empty() ? std::string("the root context") : path) + at);
    }
    // The library's lookup, which passes over replicas that do not answer.
    // Should it give nothing, its trace line says why, and only that tells
    // "not bound" from a lookup that failed: asking again could reach a
    // replica the lookup had to pass over.
    std::ostringstream trace;
    std::cerr.rdbuf(trace.rdbuf());
    const CORBA::Object_var object = createObject(args[1], args[2], args[3]);
    std::cerr.rdbuf(stderrBuffer);
    if (CORBA::is_nil(object.in())) {
        // The line ends with the reason, the last attempt's; the name before
        // it may hold any text, that marker too.
        const std::string said = trace.str();
        const std::string notFound = "/NamingContext/NotFound:1.0'\n";
        if (said.size() >= notFound.size() &&
            said.compare(said.size() - notFound.size(), notFound.size(), notFound) == 0) {
            std::cerr << "zor-resolve: nothing is bound under " << path << at << "\n";
            return kNotBound;
        }
        std::cerr << traced(trace) << "zor-resolve: looking up " << path << at << " failed\n";
        return kLookupFailed;
    }
    const CORBA::String_var reference = orb->object_to_string(object.in());
    const std::string line = std::string(reference.in()) + '\n';
    return writeOut(line.c_str(), kFound);
}

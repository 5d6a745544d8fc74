// zor-resolve: prints the stringified reference of the object bound under a
// three-part name on the naming service at HOST:9999, through the library's
// three exported functions.
#include "orb_platform.h"
#include "zorclient.h"

#include <cstring>
#include <iostream>

namespace {

// Exit codes, one per outcome a person can act on.
enum ExitCode { kFound = 0, kNotBound = 1, kUsage = 2, kNoNamingService = 3, kOrbFailed = 4 };

constexpr const char* kUsageText =
    "usage: zor-resolve HOST FIRST SECOND THIRD\n"
    "\n"
    "Looks up FIRST/SECOND/THIRD on the CORBA naming service at HOST:9999 and\n"
    "prints the object's reference (IOR:...).\n"
    "\n"
    "Exit status: 0 found, 1 name not bound, 2 usage error,\n"
    "3 no naming service reachable at HOST:9999, 4 the ORB could not start.\n"
    "ORB settings come from omniORB's environment, e.g. ORBclientCallTimeOutPeriod=2000\n"
    "bounds every remote call to two seconds.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsageText;
        return kFound;
    }
    if (argc != 5) {
        std::cerr << kUsageText;
        return kUsage;
    }
    const std::string host = argv[1];
    try {
        initCorba(host, 0);
    } catch (const CORBA::SystemException& ex) {
        std::cerr << "zor-resolve: the ORB could not start: "
                  << OrbPlatform::systemExceptionText(ex) << '\n';
        return kOrbFailed;
    }
    const CosNaming::NamingContext_var names = getNameService();
    if (CORBA::is_nil(names.in())) {
        std::cerr << "zor-resolve: no naming service reachable at " << host << ":9999\n";
        return kNoNamingService;
    }
    const CORBA::Object_var object = createObject(argv[2], argv[3], argv[4]);
    if (CORBA::is_nil(object.in())) {
        std::cerr << "zor-resolve: nothing bound under " << argv[2] << '/' << argv[3] << '/'
                  << argv[4] << " at " << host << ":9999\n";
        return kNotBound;
    }
    // The library's ORB: every ORB_init in the process shares it.
    int noArguments = 0;
    const CORBA::ORB_var orb =
        CORBA::ORB_init(noArguments, nullptr, OrbPlatform::orbInitId("ZOR_CLIENT_ORB"));
    const CORBA::String_var reference = orb->object_to_string(object.in());
    std::cout << reference.in() << '\n';
    return kFound;
}

// The library's two settings, read from the process environment when it
// creates or adopts its ORB, and the trace line they can switch on.
#include "orb_runtime.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>

namespace OrbRuntime {
namespace {

std::atomic<CORBA::ULong> g_callTimeoutMs{0};
std::atomic<bool> g_trace{false};

// Unset, empty or 0: no bound. Anything but a positive whole number of
// milliseconds that fits a CORBA::ULong is refused with one line of reason.
CORBA::ULong parseCallTimeout(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    unsigned long long value = 0;
    const char* digit = text;
    for (; *digit >= '0' && *digit <= '9' && value <= 0xFFFFFFFFULL; ++digit) {
        value = value * 10 + static_cast<unsigned>(*digit - '0');
    }
    if (*digit != '\0' || value > 0xFFFFFFFFULL) {
        std::cerr << "zorclient: " << kCallTimeoutVariable << "='" << text
                  << "' is not a positive number of milliseconds; remote calls are not bounded"
                  << std::endl;
        return 0;
    }
    return static_cast<CORBA::ULong>(value);
}

// Long or binary texts are cut and made printable: one short line per failure.
std::string printable(const std::string& text) {
    constexpr std::size_t kShown = 80;
    std::string shown = text.substr(0, kShown);
    std::replace_if(
        shown.begin(), shown.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
    return text.size() > kShown ? shown + "..." : shown;
}

}  // namespace

void readSettings() {
    g_callTimeoutMs.store(parseCallTimeout(std::getenv(kCallTimeoutVariable)));
    const char* trace = std::getenv(kTraceVariable);
    g_trace.store(trace != nullptr && std::string(trace) == "1");
}

CORBA::ULong callTimeoutMs() {
    return g_callTimeoutMs.load(std::memory_order_relaxed);
}

bool tracing() {
    return g_trace.load(std::memory_order_relaxed);
}

void traceFailure(const char* call, const std::string& subject, const std::string& reason) {
    if (!tracing()) {
        return;
    }
    std::string line = std::string("zorclient: ") + call + " " + printable(subject) + ": " + reason;
    std::replace(line.begin(), line.end(), '\n', ' ');  // some ORBs' texts span two lines
    // One write per line, so that lines of concurrent calls do not interleave.
    std::cerr << line + "\n" << std::flush;
}

std::string currentExceptionText() {
    try {
        throw;
    } catch (const CORBA::SystemException& ex) {
        return OrbPlatform::systemExceptionText(ex);
    } catch (const CORBA::Exception& ex) {
        return std::string("user exception, ID '") + ex._rep_id() + "'";
    } catch (const std::exception& ex) {
        return ex.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

}  // namespace OrbRuntime

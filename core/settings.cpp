// SPDX-License-Identifier: MIT
// The library's two settings, read from the process environment when it
// creates or adopts its ORB, and the lines on std::cerr they can switch on.
#include "orb_runtime.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>

namespace OrbRuntime {
namespace {

std::atomic<CORBA::ULong> g_callTimeoutMs{0};
std::atomic<bool> g_trace{false};
std::atomic<bool> g_boundNotInForceReported{false};

// One whole line into std::cerr's buffer, past the stream: its state and its
// exception mask stay the host's. A stream the host has silenced stays silent.
void writeLine(const std::string& line) {
    std::streambuf* const out = std::cerr.rdbuf();
    if (out == nullptr || !std::cerr.good()) {
        return;
    }
    if (out->sputn(line.data(), static_cast<std::streamsize>(line.size())) > 0) {
        out->pubsync();
    }
}

// Builds a line with `build` and writes it. Unwinding a cancelled thread
// through the write would leave the stream failed for the whole process, so
// cancellation waits until the line is out; a line that cannot be built or
// written is left out.
template <typename Build>
void writeLineSafely(Build build) noexcept {
    int previous = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    try {
        std::string line = build();
        std::replace(line.begin(), line.end(), '\n', ' ');  // some ORBs' texts span two lines
        line += '\n';
        writeLine(line);
    } catch (...) {  // NOLINT(bugprone-empty-catch): a diagnostic never fails its call
    }
    pthread_setcancelstate(previous, nullptr);
}

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
        writeLineSafely([text] {
            return std::string("zorclient: ") + kCallTimeoutVariable + "='" + text +
                   "' is not a positive number of milliseconds; remote calls are not bounded";
        });
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

std::string reasonText(const char* reason) {
    return reason != nullptr ? std::string(reason) : currentExceptionText();
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

void traceConnecting(const std::string& host, const char* reason) noexcept {
    if (tracing()) {
        writeLineSafely([&] {
            return "zorclient: connecting to " + printable(host) + ": " + reasonText(reason);
        });
    }
}

void traceResolving(const std::string& first, const std::string& second, const std::string& third,
                    const char* reason) noexcept {
    if (tracing()) {
        writeLineSafely([&] {
            return "zorclient: resolving " + printable(first + "/" + second + "/" + third) + ": " +
                   reasonText(reason);
        });
    }
}

void traceHandingOut(const char* reason) noexcept {
    if (tracing()) {
        writeLineSafely([reason] {
            return std::string("zorclient: handing out the naming context: ") + reason;
        });
    }
}

void reportBoundNotInForce() noexcept {
    if (g_boundNotInForceReported.exchange(true)) {
        return;
    }
    writeLineSafely([] {
        return std::string("zorclient: ") + kCallTimeoutVariable + "=" +
               std::to_string(callTimeoutMs()) + " is not in force: the ORB refused it (" +
               currentExceptionText() +
               "); the library's remote calls wait as long as the ORB lets them. On TAO, link "
               "or load TAO_Messaging before the ORB is created.";
    });
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

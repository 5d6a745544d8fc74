// SPDX-License-Identifier: MIT
// TAO: remote calls that a thread cancellation cannot break; part of
// OrbPlatform, included through orb_platform.h only.
#ifndef ZORCLIENT_CORE_PLATFORM_TAO_CANCELLATION_H
#define ZORCLIENT_CORE_PLATFORM_TAO_CANCELLATION_H

#include <cxxabi.h>
#include <pthread.h>

#include <exception>

namespace OrbPlatform {

// TAO's invocation path is not safe to unwind by thread cancellation: its
// transports keep pointers into the cancelled frames, and the next call on
// the connection crashes. So cancellation waits until the call has returned
// (within the time bound, when one is set) and is acted on then.
template <typename Call>
ZORCLIENT_LETS_CANCELLATION_THROUGH auto cancellationSafe(Call call) -> decltype(call()) {
    int previous = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
    std::exception_ptr failure;
    decltype(call()) result{};
    try {
        result = call();
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        failure = std::current_exception();
    }
    pthread_setcancelstate(previous, nullptr);
    pthread_testcancel();
    if (failure) {
        std::rethrow_exception(failure);
    }
    return result;
}

}  // namespace OrbPlatform

#endif

// SPDX-License-Identifier: MIT
// The identifier the ORB library is given for the library's "ZOR_CLIENT_ORB",
// written out here rather than taken from the library: the tests check it.
// omniORB accepts only its own.
#ifndef ZORCLIENT_TESTS_SHARED_ORB_ID_H
#define ZORCLIENT_TESTS_SHARED_ORB_ID_H

namespace zortest {

#if defined(ZORCLIENT_ORB_TAO)
inline constexpr const char* kSharedOrbId = "ZOR_CLIENT_ORB";
#else
inline constexpr const char* kSharedOrbId = "omniORB4";
#endif

}  // namespace zortest

#endif

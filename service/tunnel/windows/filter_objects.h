// The provider, sublayer, callouts and filters through which the split-routing
// driver's callouts see every new outbound connection, added in one
// transaction on a dynamic session: closing the session removes them all.
#pragma once

#include <string>

#include "split_calls.h"

namespace zv {

inline constexpr Guid kSplitProviderKey{0xb8eb2037, 0x2c5c, 0x43a6, {0x8d, 0x8e, 0x51, 0xeb, 0xdb, 0xc4, 0x61, 0x91}};
inline constexpr Guid kSplitSubLayerKey{0x3947d46a, 0x96b7, 0x463b, {0xa2, 0x5c, 0x68, 0xf0, 0xe5, 0x8b, 0x9d, 0xc2}};
inline constexpr Guid kCalloutV4Key{0x11ae83ec, 0x749d, 0x4a12, {0x93, 0x2f, 0x78, 0x9a, 0x62, 0x87, 0x95, 0x31}};
inline constexpr Guid kCalloutV6Key{0x8357822a, 0x2f8c, 0x42e6, {0xa3, 0xd8, 0x71, 0xaf, 0xd3, 0x45, 0x58, 0x7c}};
// FWPM_LAYER_ALE_AUTH_CONNECT_V4 and _V6
inline constexpr Guid kLayerConnectV4{0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
inline constexpr Guid kLayerConnectV6{0x4a72393b, 0x319f, 0x44bc, {0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4}};

inline constexpr std::uint32_t kAuthenticationWinNt = 10;      // RPC_C_AUTHN_WINNT
inline constexpr std::uint32_t kSessionFlagDynamic = 1;        // FWPM_SESSION_FLAG_DYNAMIC
inline constexpr std::uint32_t kActionCalloutTerminating = 0x5003;
inline constexpr std::uint32_t kFilterAlreadyExists = 0x80320009;  // FWP_E_ALREADY_EXISTS
inline constexpr std::uint16_t kSplitSubLayerWeight = 0x7000;

// Opens the session into `engine` (left open on failure, for the caller's stop
// to close) and commits all objects, or names the first call that failed.
bool InstallFilterObjects(SplitCalls& platform, FilterEngineHandle& engine, std::string& error);

}  // namespace zv

// The five WireGuardNT exports the service uses, found in wireguard.dll beside
// the service program each time a tunnel starts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tunnel_platform.h"

#ifdef _WIN32
#define ZV_WINAPI __stdcall
#else
#define ZV_WINAPI
#endif

namespace zv {

using WireGuardAdapterHandle = void*;
inline constexpr std::int32_t kAdapterStateDown = 0;
inline constexpr std::int32_t kAdapterStateUp = 1;

// The published signatures; LPCWSTR is UTF-16, NET_LUID a 64-bit value, BOOL 32 bits.
using CreateAdapterFunction = WireGuardAdapterHandle(ZV_WINAPI*)(const char16_t* name, const char16_t* tunnelType,
                                                                 const void* requestedGuid);
using CloseAdapterFunction = void(ZV_WINAPI*)(WireGuardAdapterHandle adapter);
using GetAdapterLuidFunction = void(ZV_WINAPI*)(WireGuardAdapterHandle adapter, std::uint64_t* luid);
using SetConfigurationFunction = std::int32_t(ZV_WINAPI*)(WireGuardAdapterHandle adapter, const void* configuration,
                                                          std::uint32_t bytes);
using SetAdapterStateFunction = std::int32_t(ZV_WINAPI*)(WireGuardAdapterHandle adapter, std::int32_t state);

struct WireGuardApi {
  CreateAdapterFunction createAdapter = nullptr;
  CloseAdapterFunction closeAdapter = nullptr;
  GetAdapterLuidFunction getAdapterLuid = nullptr;
  SetConfigurationFunction setConfiguration = nullptr;
  SetAdapterStateFunction setAdapterState = nullptr;

  bool Valid() const { return createAdapter && closeAdapter && getAdapterLuid && setConfiguration && setAdapterState; }
};

inline constexpr char16_t kAdapterName[] = u"ZENTRAVOLK";  // also its tunnel type

// Looks the five up by name; valid only when all five are there.
WireGuardApi ResolveWireGuardApi(TunnelPlatform& platform, ModuleHandle module);

// The library's path in the program's own folder; a drive or file system root keeps its separator.
std::u16string LibraryPathBeside(std::u16string_view programPath, std::u16string_view separators,
                                 std::u16string_view libraryName);

// Loads and resolves; on success `module` holds the library. On failure nothing stays loaded.
bool LoadWireGuardApi(TunnelPlatform& platform, ModuleHandle& module, WireGuardApi& api, std::string& error);

}  // namespace zv

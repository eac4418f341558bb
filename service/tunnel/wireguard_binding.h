// The five WireGuardNT exports the service uses, found in wireguard.dll beside
// the service program each time a tunnel starts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tunnel_platform.h"
#include "wireguard_nt.h"

namespace zv {

struct WireGuardApi {
  CreateAdapterFunction createAdapter = nullptr;
  CloseAdapterFunction closeAdapter = nullptr;
  GetAdapterLuidFunction getAdapterLuid = nullptr;
  SetConfigurationFunction setConfiguration = nullptr;
  SetAdapterStateFunction setAdapterState = nullptr;

  bool Valid() const { return createAdapter && closeAdapter && getAdapterLuid && setConfiguration && setAdapterState; }
};

// Looks the five up by name; valid only when all five are there.
WireGuardApi ResolveWireGuardApi(TunnelPlatform& platform, ModuleHandle module);

// The library's path in the program's own folder; a drive or file system root keeps its separator.
std::u16string LibraryPathBeside(std::u16string_view programPath, std::u16string_view separators,
                                 std::u16string_view libraryName);

// Loads and resolves; on success `module` holds the library. On failure nothing stays loaded.
bool LoadWireGuardApi(TunnelPlatform& platform, ModuleHandle& module, WireGuardApi& api, std::string& error);

}  // namespace zv

#include "wireguard_binding.h"

namespace zv {
namespace {

template <typename Function>
void Find(TunnelPlatform& platform, ModuleHandle module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(platform.FindExport(module, name));
}

}  // namespace

WireGuardApi ResolveWireGuardApi(TunnelPlatform& platform, ModuleHandle module) {
  WireGuardApi api;
  Find(platform, module, "WireGuardCreateAdapter", api.createAdapter);
  Find(platform, module, "WireGuardCloseAdapter", api.closeAdapter);
  Find(platform, module, "WireGuardGetAdapterLUID", api.getAdapterLuid);
  Find(platform, module, "WireGuardSetConfiguration", api.setConfiguration);
  Find(platform, module, "WireGuardSetAdapterState", api.setAdapterState);
  return api;
}

std::u16string LibraryPathBeside(std::u16string_view programPath, std::u16string_view separators,
                                 std::u16string_view libraryName) {
  const auto isSeparator = [&](char16_t c) { return separators.find(c) != std::u16string_view::npos; };
  std::size_t end = programPath.find_last_of(separators);
  if (end == std::u16string_view::npos) return std::u16string(libraryName);
  const std::size_t separatorAt = end;
  while (end > 0 && isSeparator(programPath[end - 1])) --end;
  // "C:\x.exe" and "/x" keep the root's separator: "C:" alone would mean the drive's current folder.
  if (end == 0 || programPath[end - 1] == u':') end = separatorAt + 1;
  std::u16string path(programPath.substr(0, end));
  if (!isSeparator(path.back())) path += separators.front();
  return path.append(libraryName);
}

bool LoadWireGuardApi(TunnelPlatform& platform, ModuleHandle& module, WireGuardApi& api, std::string& error) {
  const std::u16string program = platform.OwnProgramPath();
  if (program.empty()) {
    error = "resolve_service_path_failed";
    return false;
  }
  module = platform.LoadLibraryAt(
      LibraryPathBeside(program, platform.PathSeparators(), platform.WireGuardLibraryName()));
  if (module == nullptr) {
    error = "embedded_tunnel_component_missing";
    return false;
  }
  api = ResolveWireGuardApi(platform, module);
  if (!api.Valid()) {
    platform.UnloadLibrary(module);
    module = nullptr;
    error = "embedded_tunnel_api_invalid";
    return false;
  }
  return true;
}

}  // namespace zv

#pragma once

#include "tunnel_platform.h"

namespace zv {

// The tunnel engine's system calls on Linux: dlopen, getaddrinfo and rtnetlink.
// Interface indexes stand in for LUIDs; errno values for Win32 errors, except
// EEXIST, which the engine knows as kErrorObjectAlreadyExists.
class LinuxTunnelPlatform final : public TunnelPlatform {
 public:
  std::u16string OwnProgramPath() override;
  std::u16string_view PathSeparators() const override { return u"/"; }
  std::u16string_view WireGuardLibraryName() const override { return u"wireguard.so"; }
  ModuleHandle LoadLibraryAt(const std::u16string& path) override;
  ExportAddress FindExport(ModuleHandle module, const char* name) override;
  void UnloadLibrary(ModuleHandle module) override;
  std::uint32_t LastError() override;
  bool DecodeKey(const std::string& text, WireGuardKey& key) override;
  bool ResolveAddress(const std::string& host, const std::string& port, SocketAddressInet& address) override;
  std::uint32_t BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                          SocketAddressInet& nextHop) override;
  std::uint32_t CreateRoute(const RouteRow& row) override;
  std::uint32_t DeleteRoute(const RouteRow& row) override;
  std::uint32_t CreateAddress(const AddressRow& row) override;
  std::uint32_t RoutesTo(const SocketAddressInet& destination, std::vector<RouteChoice>& routes) override;
  // Its interface by index and name: a helper that died took the interface along.
  bool AdapterPresent(std::uint64_t luid) override;
  // Beside the control socket, in the service's own root-owned folder.
  std::filesystem::path TunnelRecordPath() override;
  AdapterTrace TraceAdapter() override;
  // The rules, the recorded helper if it still runs, and its socket if nobody answers there.
  void RemoveStaleAdapter(const AdapterTrace& trace) override;
};

}  // namespace zv

#pragma once

#include "tunnel_platform.h"

namespace zv {

class WindowsTunnelPlatform : public TunnelPlatform {  // open: tests move the program folder
 public:
  std::u16string OwnProgramPath() override;
  std::u16string_view PathSeparators() const override { return u"\\/"; }
  std::u16string_view WireGuardLibraryName() const override { return u"wireguard.dll"; }
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
  bool AdapterPresent(std::uint64_t luid) override;
  // Beside the service program: its folder is writable by administrators and the system only.
  std::filesystem::path TunnelRecordPath() override;
  // Nothing to do: a WireGuardNT adapter goes with the handles of the process that made it,
  // and the split filters with its dynamic filtering session; only the endpoint route stays.
  void RemoveStaleAdapter(const AdapterTrace&) override {}
};

}  // namespace zv

// A recording stand-in for the operating system and the split routing under the
// WireGuard tunnel engine. Every call is written to `calls` in a short text form,
// any call can be scripted to fail, and it keeps the state a test must find
// restored: loaded libraries, open adapters, the route and address tables.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "split_routing.h"
#include "tunnel_platform.h"

namespace zv::test {

class FakeTunnelSystem final : public TunnelPlatform, public SplitRouting {
 public:
  FakeTunnelSystem();  // the fake wireguard exports talk to the newest one
  ~FakeTunnelSystem() override;

  // The nth (1-based; 0: every) call named `call` fails with `error`. For
  // "split.Start" the error is a code instead: see splitError.
  void Fail(const std::string& call, std::uint32_t error, int nth = 0);
  void Heal();  // every call succeeds again

  std::u16string programPath = u"C:\\Program Files\\Zentravolk\\accelerator-service.exe";
  std::set<std::string> missingExports;
  std::string splitError;  // non-empty: split.Start fails with it

  std::vector<std::string> calls;
  std::vector<std::uint8_t> configuration;  // the last block given to setConfiguration
  int loadedLibraries = 0;
  std::set<std::uintptr_t> openAdapters;
  std::multiset<std::string> routes;     // "prefix via next-hop on luid"
  std::multiset<std::string> addresses;  // "address/length on luid"
  bool splitRunning = false;

  // TunnelPlatform
  std::u16string OwnProgramPath() override;
  std::u16string_view PathSeparators() const override { return u"\\/"; }
  std::u16string_view WireGuardLibraryName() const override { return u"wireguard.dll"; }
  ModuleHandle LoadLibraryAt(const std::u16string& path) override;
  ExportAddress FindExport(ModuleHandle module, const char* name) override;
  void UnloadLibrary(ModuleHandle module) override;
  std::uint32_t LastError() override { return lastError; }
  bool DecodeKey(const std::string& text, WireGuardKey& key) override;
  bool ResolveAddress(const std::string& host, const std::string& port, SocketAddressInet& address) override;
  std::uint32_t BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                          SocketAddressInet& nextHop) override;
  std::uint32_t CreateRoute(const RouteRow& row) override;
  std::uint32_t DeleteRoute(const RouteRow& row) override;
  std::uint32_t CreateAddress(const AddressRow& row) override;
  std::filesystem::path TunnelRecordPath() override { return recordPath; }
  void RemoveStaleAdapter(const AdapterTrace&) override { Record("RemoveStaleAdapter", ""); }
  std::filesystem::path recordPath;  // empty: no record is kept

  // SplitRouting
  bool Start(std::uint64_t luid, const std::vector<std::string>& gameProcesses, std::string& error) override;
  void Stop() override;

  // What the fake library's exports do.
  void* CreateAdapter(const char16_t* name, const char16_t* tunnelType, const void* guid);
  void CloseAdapter(void* adapter);
  void GetAdapterLuid(void* adapter, std::uint64_t* luid);
  bool SetConfiguration(void* adapter, const void* block, std::uint32_t bytes);
  bool SetAdapterState(void* adapter, std::int32_t state);

  static std::uint64_t LuidOf(std::uintptr_t adapter) { return 4096 + adapter; }

 private:
  // Records the call; true when it is scripted to fail, with lastError set.
  bool Record(const std::string& call, const std::string& detail = {});

  struct Fault {
    std::string call;
    int nth;
    std::uint32_t error;
  };
  std::vector<Fault> faults;
  std::vector<std::string> callNames;
  std::uint32_t lastError = 0;
  std::uintptr_t adaptersMade = 0;
};

}  // namespace zv::test

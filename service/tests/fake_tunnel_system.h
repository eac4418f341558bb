// A recording stand-in for the operating system and the split routing under the
// WireGuard tunnel engine. Every call is written to `calls` in a short text form,
// any call can be scripted to fail, and it keeps the state a test must find
// restored: the loaded library, open adapters, the route and address tables.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "split_routing.h"
#include "tunnel_platform.h"
#include "tunnel_platform_linux.h"
#include "wireguard_binding.h"

namespace zv::test {

namespace fake {

inline std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

inline std::string Text(const SocketAddressInet& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.family == kFamilyIpv4) return inet_ntop(AF_INET, address.rest, text, sizeof text);
  if (address.family == kFamilyIpv6) return inet_ntop(AF_INET6, address.rest + 4, text, sizeof text);
  return "family " + std::to_string(address.family);
}

inline std::string Text(const RouteRow& row) {
  const std::string text = Text(row.destination) + "/" + std::to_string(row.prefixLength) + " via " +
                           Text(row.nextHop) + " on " + std::to_string(row.interfaceLuid);
  const bool sharedSettings =
      row.protocol == 3 && row.metric == 0 && row.sitePrefixLength == row.prefixLength && row.interfaceIndex == 0;
  return sharedSettings ? text : text + " (wrong route settings)";
}

inline SocketAddressInet Address(const std::string& text) {
  SocketAddressInet address{};
  if (inet_pton(AF_INET, text.c_str(), address.rest) == 1) address.family = kFamilyIpv4;
  else if (inet_pton(AF_INET6, text.c_str(), address.rest + 4) == 1) address.family = kFamilyIpv6;
  return address;
}

// Reads back the text form above.
inline RouteRow Row(const std::string& text) {
  std::istringstream in(text);
  std::string prefix, via, hop, on;
  RouteRow row;
  in >> prefix >> via >> hop >> on >> row.interfaceLuid;
  row.destination = Address(prefix.substr(0, prefix.find('/')));
  row.prefixLength = static_cast<std::uint8_t>(std::stoi(prefix.substr(prefix.find('/') + 1)));
  row.nextHop = Address(hop);
  return row;
}

inline bool Holds(const RouteRow& row, const SocketAddressInet& address) {
  if (row.destination.family != address.family) return false;
  const std::uint8_t* a = row.destination.rest + (address.family == kFamilyIpv6 ? 4 : 0);
  const std::uint8_t* b = address.rest + (address.family == kFamilyIpv6 ? 4 : 0);
  for (int bit = 0; bit < row.prefixLength; ++bit) {
    if (((a[bit / 8] ^ b[bit / 8]) >> (7 - bit % 8)) & 1) return false;
  }
  return true;
}

}  // namespace fake

class FakeTunnelSystem final : public TunnelPlatform, public SplitRouting {
 public:
  FakeTunnelSystem() { current = this, adaptersMade = 0; }  // the fake library's exports talk to the newest one
  ~FakeTunnelSystem() override {
    if (current == this) current = nullptr;
  }

  // The nth (1-based; 0: every) call named `call` fails with `error`, which
  // LastError then gives. "split.Start" fails with splitError instead.
  void Fail(const std::string& call, std::uint32_t error, int nth = 0) { faults.push_back({call, nth, error}); }
  std::set<std::string> missingExports;
  std::string splitError;

  std::vector<std::string> calls;
  std::vector<std::uint8_t> configuration;  // the last block given to setConfiguration
  int loadedLibraries = 0, openAdapters = 0;
  std::multiset<std::string> routes;     // "prefix via next-hop on luid"
  std::multiset<std::string> addresses;  // "address/length on luid"
  bool splitRunning = false;
  // The system's other routes, listed by RoutesTo with those made through
  // CreateRoute: "prefix via next-hop on luid", its metric, whether it is usable.
  struct Path {
    std::string route;
    std::uint32_t metric;
    bool usable = true;
  };
  std::vector<Path> paths = {{"0.0.0.0/0 via 192.0.2.1 on 7", 10}};
  std::filesystem::path recordPath;  // none kept unless set
  std::set<std::uintptr_t> vanished;  // adapters gone without closeAdapter
  std::function<void(const std::string& call)> onCall;  // at each call, before it acts

  // The newest adapter disappears, with its address and routes, as when its helper dies.
  void Vanish() {
    vanished.insert(adaptersMade);
    --openAdapters;
    DropInterface(kLuidBase + adaptersMade);
  }
  void DropInterface(std::uint64_t luid) {
    const std::string suffix = " on " + std::to_string(luid);
    std::erase_if(routes, [&](const std::string& entry) { return entry.ends_with(suffix); });
    std::erase_if(addresses, [&](const std::string& entry) { return entry.ends_with(suffix); });
  }

  // TunnelPlatform
  std::u16string OwnProgramPath() override {
    return Record("OwnProgramPath") ? u"" : u"C:\\Program Files\\Zentravolk\\accelerator-service.exe";
  }
  std::u16string_view PathSeparators() const override { return u"\\/"; }
  std::u16string_view WireGuardLibraryName() const override { return u"wireguard.dll"; }
  ModuleHandle LoadLibraryAt(const std::u16string& path) override {
    if (Record("LoadLibraryAt", fake::Narrow(path))) return nullptr;
    ++loadedLibraries;
    return this;
  }
  ExportAddress FindExport(ModuleHandle module, const char* name) override;
  void UnloadLibrary(ModuleHandle) override {
    Record("UnloadLibrary");
    --loadedLibraries;
  }
  std::uint32_t LastError() override { return lastError; }
  // The Linux shell's strict decoder: what CryptoAPI accepts for a 32-byte buffer, and no more.
  bool DecodeKey(const std::string& text, WireGuardKey& key) override {
    return !Record("DecodeKey") && LinuxTunnelPlatform().DecodeKey(text, key);
  }
  // Any port text is read as a number, as a resolver may: the engine alone must judge it.
  bool ResolveAddress(const std::string& host, const std::string& port, SocketAddressInet& address) override {
    if (Record("ResolveAddress", host + " " + port)) return false;
    address = SocketAddressInet{};
    address.port = htons(static_cast<std::uint16_t>(std::strtoul(port.c_str(), nullptr, 10)));
    if (inet_pton(AF_INET, host.c_str(), address.rest) == 1) address.family = kFamilyIpv4;
    else if (inet_pton(AF_INET6, host.c_str(), address.rest + 4) == 1) address.family = kFamilyIpv6;
    return address.family != 0;  // names do not resolve here
  }
  std::uint32_t BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                          SocketAddressInet& nextHop) override {
    if (Record("BestRoute", fake::Text(destination))) return lastError;
    interfaceLuid = 7;  // the physical interface
    nextHop = SocketAddressInet{};
    nextHop.family = destination.family;
    if (destination.family == kFamilyIpv4) inet_pton(AF_INET, "192.0.2.1", nextHop.rest);
    else inet_pton(AF_INET6, "fe80::1", nextHop.rest + 4);
    return 0;
  }
  std::uint32_t CreateRoute(const RouteRow& row) override { return Create("CreateRoute", fake::Text(row), routes); }
  std::uint32_t DeleteRoute(const RouteRow& row) override {
    const std::string route = fake::Text(row);
    if (Record("DeleteRoute", route)) return lastError;
    const auto found = routes.find(route);
    if (found == routes.end()) return 1168;  // ERROR_NOT_FOUND
    routes.erase(found);
    return 0;
  }
  std::uint32_t RoutesTo(const SocketAddressInet& destination, std::vector<RouteChoice>& found) override {
    if (Record("RoutesTo", fake::Text(destination))) return lastError;
    found.clear();
    std::vector<Path> all = paths;
    for (const std::string& route : routes) all.push_back({route, 0});
    for (const Path& path : all) {
      RouteChoice choice{fake::Row(path.route), path.metric, path.usable};
      if (fake::Holds(choice.row, destination)) found.push_back(choice);
    }
    return 0;
  }
  bool AdapterPresent(std::uint64_t luid) override {
    return luid > kLuidBase && luid <= kLuidBase + adaptersMade && !vanished.contains(luid - kLuidBase);
  }
  std::filesystem::path TunnelRecordPath() override { return recordPath; }
  std::uint32_t CreateAddress(const AddressRow& row) override {
    return Create("CreateAddress",
                  fake::Text(row.address) + "/" + std::to_string(row.onLinkPrefixLength) + " on " +
                      std::to_string(row.interfaceLuid) + (row.dadState == 4 ? "" : " (not preferred)"),
                  addresses);
  }

  // SplitRouting
  bool Start(std::uint64_t luid, const std::vector<std::string>& gameProcesses, std::string& error) override {
    std::string detail = std::to_string(luid);
    for (const std::string& name : gameProcesses) detail += " " + name;
    Record("split.Start", detail);
    if (!splitError.empty()) error = splitError;
    return splitRunning = splitError.empty();
  }
  void Stop() override {
    Record("split.Stop");
    splitRunning = false;
  }

  // Records the call; true when it is scripted to fail.
  bool Record(const std::string& call, const std::string& detail = {}) {
    calls.push_back(detail.empty() ? call : call + " " + detail);
    if (onCall) onCall(calls.back());
    const auto made = std::count_if(calls.begin(), calls.end(),
                                    [&](const std::string& entry) { return entry.substr(0, entry.find(' ')) == call; });
    for (const auto& [failing, nth, error] : faults) {
      if (failing == call && (nth == 0 || nth == made)) {
        lastError = error;
        return true;
      }
    }
    return false;
  }

  static constexpr std::uint64_t kLuidBase = 4096;  // adapter n has LUID 4096 + n
  static inline FakeTunnelSystem* current = nullptr;
  static inline std::uintptr_t adaptersMade = 0;

 private:
  std::uint32_t Create(const char* call, const std::string& entry, std::multiset<std::string>& table) {
    if (Record(call, entry)) return lastError;
    if (table.contains(entry)) return kErrorObjectAlreadyExists;
    table.insert(entry);
    return 0;
  }

  std::vector<std::tuple<std::string, int, std::uint32_t>> faults;  // call, nth, error
  std::uint32_t lastError = 0;
};

namespace fake {  // the fake library's exports

inline void* ZV_WINAPI CreateAdapter(const char16_t* name, const char16_t* type, const void* guid) {
  FakeTunnelSystem& system = *FakeTunnelSystem::current;
  if (system.Record("createAdapter", Narrow(name) + " " + Narrow(type) + (guid ? " with a guid" : ""))) return nullptr;
  ++system.openAdapters;
  return reinterpret_cast<void*>(++FakeTunnelSystem::adaptersMade);
}
inline void ZV_WINAPI CloseAdapter(void* adapter) {
  FakeTunnelSystem& system = *FakeTunnelSystem::current;
  const auto id = reinterpret_cast<std::uintptr_t>(adapter);
  system.Record("closeAdapter", std::to_string(id));
  if (system.vanished.contains(id)) return;
  --system.openAdapters;
  system.DropInterface(FakeTunnelSystem::kLuidBase + id);  // its address and routes go with it
}
inline void ZV_WINAPI GetAdapterLuid(void* adapter, std::uint64_t* luid) {
  FakeTunnelSystem::current->Record("getAdapterLuid");
  *luid = FakeTunnelSystem::kLuidBase + reinterpret_cast<std::uintptr_t>(adapter);
}
inline std::int32_t ZV_WINAPI SetConfiguration(void*, const void* block, std::uint32_t bytes) {
  const auto* first = static_cast<const std::uint8_t*>(block);
  FakeTunnelSystem::current->configuration.assign(first, first + bytes);
  return !FakeTunnelSystem::current->Record("setConfiguration");
}
inline std::int32_t ZV_WINAPI SetAdapterState(void*, std::int32_t state) {
  return !FakeTunnelSystem::current->Record("setAdapterState", std::to_string(state));
}

}  // namespace fake

inline ExportAddress FakeTunnelSystem::FindExport(ModuleHandle module, const char* name) {
  Record("FindExport", name);
  static const std::map<std::string, ExportAddress> exports = {
      {"WireGuardCreateAdapter", reinterpret_cast<ExportAddress>(&fake::CreateAdapter)},
      {"WireGuardCloseAdapter", reinterpret_cast<ExportAddress>(&fake::CloseAdapter)},
      {"WireGuardGetAdapterLUID", reinterpret_cast<ExportAddress>(&fake::GetAdapterLuid)},
      {"WireGuardSetConfiguration", reinterpret_cast<ExportAddress>(&fake::SetConfiguration)},
      {"WireGuardSetAdapterState", reinterpret_cast<ExportAddress>(&fake::SetAdapterState)}};
  const auto found = exports.find(name);
  return module == this && found != exports.end() && !missingExports.contains(name) ? found->second : nullptr;
}

}  // namespace zv::test

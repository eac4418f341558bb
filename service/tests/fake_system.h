// Recording stand-ins for the operating system under the service's engines.
// FakeTunnelSystem: the WireGuard library, routes, addresses and the split
// routing under the tunnel engine. FakeSplitSystem: the split driver, the
// filtering engine and the process table. Calls are logged in a short text form
// and any of them can be scripted to fail.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "little_endian.h"
#include "split_platform.h"
#include "split_protocol.h"
#include "split_routing.h"
#include "tunnel_platform.h"
#include "tunnel_platform_linux.h"
#include "wireguard_binding.h"

namespace zv::test {

using Calls = std::vector<std::string>;

// Waits (at most 10 s) until the condition holds.
inline bool WaitUntil(const std::function<bool()>& condition) {
  for (int i = 0; i < 2000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (condition()) return true;
  }
  return false;
}

// The calls and their scripted failures; locked, as the split tracker's thread records too.
class CallLog {
 public:
  // The nth (1-based; 0: every) call named `call` answers `error`, which lastError then holds.
  void Fail(const std::string& call, std::uint32_t error, int nth = 0) { faults.push_back({call, nth, error}); }
  // Logs the call; gives the error it is scripted to answer, or 0.
  std::uint32_t Record(const std::string& call, const std::string& detail = {}) {
    std::unique_lock guard(lock);
    calls.push_back(detail.empty() ? call : call + " " + detail);
    const int made = ++counts[call];
    std::uint32_t answer = 0;
    for (const auto& [failing, nth, error] : faults) {
      if (failing == call && (nth == 0 || nth == made)) answer = lastError = error;
    }
    const std::string logged = calls.back();
    guard.unlock();
    if (onCall) onCall(logged);
    return answer;
  }

  Calls calls;
  std::uint32_t lastError = 0;
  std::function<void(const std::string& call)> onCall;  // at each call, before it acts

 protected:
  template <typename T>
  T Locked(const T& value) {
    std::lock_guard guard(lock);
    return value;
  }
  std::mutex lock;

 private:
  std::vector<std::tuple<std::string, int, std::uint32_t>> faults;  // call, nth, error
  std::map<std::string, int> counts;
};

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

inline std::string Text(const Guid& key) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", key.data1, key.data2,
                key.data3, key.data4[0], key.data4[1], key.data4[2], key.data4[3], key.data4[4], key.data4[5],
                key.data4[6], key.data4[7]);
  return text;
}

inline std::string Text(const char16_t* name) { return "'" + Narrow(name) + "'"; }

inline SocketAddressInet Address(const std::string& text, const std::string& port = "0") {
  SocketAddressInet address{};
  address.port = htons(static_cast<std::uint16_t>(std::strtoul(port.c_str(), nullptr, 10)));
  if (inet_pton(AF_INET, text.c_str(), address.rest) == 1) address.family = kFamilyIpv4;
  else if (inet_pton(AF_INET6, text.c_str(), address.rest + 4) == 1) address.family = kFamilyIpv6;
  return address;
}

// Reads back the route text above.
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

// Keeps the state a test must find restored: the loaded library, open
// adapters, the route and address tables, the split.
class FakeTunnelSystem final : public TunnelPlatform, public SplitRouting, public CallLog {
 public:
  FakeTunnelSystem() { current = this, adaptersMade = 0; }  // the fake library's exports talk to the newest one
  ~FakeTunnelSystem() override {
    if (current == this) current = nullptr;
  }

  std::set<std::string> missingExports;
  std::string splitError;  // "split.Start" fails with it
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
  std::filesystem::path recordPath;   // none kept unless set
  std::set<std::uintptr_t> vanished;  // adapters gone without closeAdapter

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
    address = fake::Address(host, port);
    return address.family != 0;  // names do not resolve here
  }
  std::uint32_t BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                          SocketAddressInet& nextHop) override {
    if (Record("BestRoute", fake::Text(destination))) return lastError;
    interfaceLuid = 7;  // the physical interface
    nextHop = fake::Address(destination.family == kFamilyIpv4 ? "192.0.2.1" : "fe80::1");
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

using Bytes = std::vector<std::uint8_t>;
using ProcessTable = std::vector<std::pair<std::uint32_t, std::u16string>>;

// A pending flow record as the driver would return it.
inline Bytes FlowRecord(const char* remote, std::uint64_t flowId, std::uint32_t family = 2, std::uint32_t version = 1) {
  Bytes record(kPendingFlowSize, 0xEE);  // the fields the service does not read hold noise
  PutLittleEndian(&record[0], version);
  PutLittleEndian(&record[4], family);
  PutLittleEndian(&record[8], flowId);
  inet_pton(AF_INET, remote, &record[48]);
  return record;
}

// The filtering calls are the CallLog; the driver keeps its own log: "open",
// "ids 7 9" (with " (n bytes)" when the list is not exactly its ids), "verdict
// <routed> <flow>", "close", and "engine closed" where the filtering session ends.
class FakeSplitSystem final : public SplitPlatform, public CallLog {
 public:
  std::uint32_t openError = 0;
  bool refuseThread = false;
  void SetProcesses(ProcessTable table, bool failing = false) {
    std::lock_guard guard(lock);
    processes = std::move(table), snapshotFails = failing;
  }
  void QueueFlow(Bytes record) {
    std::lock_guard guard(lock);
    pending.push_back(std::move(record));
  }

  Calls FilterCalls() { return Locked(calls); }
  Calls DeviceLog() { return Locked(deviceLog); }
  int Scans() { return Locked(scans); }
  std::vector<std::chrono::milliseconds> Pauses() { return Locked(pauses); }
  bool WaitForScans(int more) {
    const int target = Scans() + more;
    return WaitUntil([&] { return Scans() >= target; });
  }

  DeviceHandle OpenSplitDevice(std::uint32_t& error) override {
    std::lock_guard guard(lock);
    if ((error = openError) != 0) return kNoDevice;
    deviceOpen = true;
    deviceLog.push_back("open");
    return kFakeDevice;
  }
  bool ControlDevice(DeviceHandle device, std::uint32_t code, const void* input, std::uint32_t inputLength,
                     void* output, std::uint32_t outputLength, std::uint32_t& returned) override {
    std::lock_guard guard(lock);
    returned = 0;
    const auto* in = static_cast<const std::uint8_t*>(input);
    if (device != kFakeDevice || !deviceOpen) {
      deviceLog.push_back("control on a closed device");
    } else if (code == kSetProcessIds && inputLength >= 8 && GetLittleEndian<std::uint32_t>(in) == 1) {
      const auto count = GetLittleEndian<std::uint32_t>(in + 4);
      std::string entry = "ids";
      for (std::size_t i = 0; i < count && 16 + 8 * i <= inputLength; ++i) {
        entry += " " + std::to_string(GetLittleEndian<std::uint64_t>(in + 8 + 8 * i));
      }
      if (inputLength != 8 + 8 * count) entry += " (" + std::to_string(inputLength) + " bytes)";
      deviceLog.push_back(entry);
      return true;
    } else if (code == kGetPendingFlow && outputLength == kPendingFlowSize) {
      if (pending.empty()) return false;  // nothing pending: fail at once
      std::memcpy(output, pending.front().data(), pending.front().size());
      returned = static_cast<std::uint32_t>(pending.front().size());
      pending.pop_front();
      return true;
    } else if (code == kSetFlowVerdict && inputLength == kFlowVerdictSize && GetLittleEndian<std::uint32_t>(in) == 1) {
      deviceLog.push_back("verdict " + std::to_string(GetLittleEndian<std::uint32_t>(in + 4)) + " " +
                          std::to_string(GetLittleEndian<std::uint64_t>(in + 8)));
      return true;
    } else {
      deviceLog.push_back("bad control " + std::to_string(code) + " " + std::to_string(inputLength));
    }
    return false;
  }
  void CloseSplitDevice(DeviceHandle) override {
    std::lock_guard guard(lock);
    deviceOpen = false;
    deviceLog.push_back("close");
  }

  std::uint32_t OpenFilterEngine(std::uint32_t authenticationService, std::uint32_t sessionFlags,
                                 FilterEngineHandle& engine) override {
    const auto result =
        Record("OpenFilterEngine", "authn " + std::to_string(authenticationService) + " flags " +
                                       std::to_string(sessionFlags));
    if (result == 0) engine = this;
    return result;
  }
  std::uint32_t BeginTransaction(FilterEngineHandle) override { return Record("BeginTransaction"); }
  std::uint32_t AbortTransaction(FilterEngineHandle) override { return Record("AbortTransaction"); }
  std::uint32_t CommitTransaction(FilterEngineHandle) override { return Record("CommitTransaction"); }
  std::uint32_t AddProvider(FilterEngineHandle, const FilterProvider& provider) override {
    return Record("AddProvider", fake::Text(provider.key) + " " + fake::Text(provider.name));
  }
  std::uint32_t AddSubLayer(FilterEngineHandle, const FilterSubLayer& subLayer) override {
    return Record("AddSubLayer", fake::Text(subLayer.key) + " " + fake::Text(subLayer.name) + " provider " +
                                     fake::Text(subLayer.providerKey) + " weight " + std::to_string(subLayer.weight));
  }
  std::uint32_t AddCallout(FilterEngineHandle, const FilterCallout& callout) override {
    return Record("AddCallout", fake::Text(callout.key) + " " + fake::Text(callout.name) + " provider " +
                                    fake::Text(callout.providerKey) + " layer " + fake::Text(callout.applicableLayer));
  }
  std::uint32_t AddFilter(FilterEngineHandle, const CalloutFilter& filter) override {
    return Record("AddFilter", fake::Text(filter.name) + " provider " + fake::Text(filter.providerKey) + " layer " +
                                   fake::Text(filter.layerKey) + " sublayer " + fake::Text(filter.subLayerKey) +
                                   " action " + std::to_string(filter.actionType) + " callout " +
                                   fake::Text(filter.calloutKey));
  }
  void CloseFilterEngine(FilterEngineHandle) override {
    Record("CloseFilterEngine");
    std::lock_guard guard(lock);
    deviceLog.push_back("engine closed");  // where the order of the two closes shows
  }

  bool ForEachProcess(const ProcessVisitor& visit) override {
    std::lock_guard guard(lock);
    ++scans;
    if (snapshotFails) return false;
    for (const auto& [id, name] : processes) visit(id, name);
    return true;
  }
  std::thread StartThread(std::function<void()> body) override {
    if (refuseThread) throw std::system_error(EAGAIN, std::generic_category());
    return SplitPlatform::StartThread(std::move(body));
  }
  // A clock that moves only by the tracker's pauses, each of which is recorded.
  std::chrono::steady_clock::time_point Now() override { return Locked(clock); }
  void Sleep(std::chrono::milliseconds duration) override {
    {
      std::lock_guard guard(lock);
      clock += duration;
      pauses.push_back(duration);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the tests' tracker still yields the core
  }

 private:
  static constexpr DeviceHandle kFakeDevice = 0x5a;

  Calls deviceLog;
  std::deque<Bytes> pending;
  ProcessTable processes;
  bool snapshotFails = false, deviceOpen = false;
  int scans = 0;
  std::chrono::steady_clock::time_point clock{};
  std::vector<std::chrono::milliseconds> pauses;
};

}  // namespace zv::test

#include "fake_tunnel_system.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "allowed_ip.h"
#include "tunnel_platform_linux.h"
#include "wireguard_binding.h"

namespace zv::test {
namespace {

FakeTunnelSystem* current = nullptr;

void* ZV_WINAPI FakeCreateAdapter(const char16_t* name, const char16_t* type, const void* guid) {
  return current->CreateAdapter(name, type, guid);
}
void ZV_WINAPI FakeCloseAdapter(void* adapter) { current->CloseAdapter(adapter); }
void ZV_WINAPI FakeGetAdapterLuid(void* adapter, std::uint64_t* luid) { current->GetAdapterLuid(adapter, luid); }
std::int32_t ZV_WINAPI FakeSetConfiguration(void* adapter, const void* block, std::uint32_t bytes) {
  return current->SetConfiguration(adapter, block, bytes);
}
std::int32_t ZV_WINAPI FakeSetAdapterState(void* adapter, std::int32_t state) {
  return current->SetAdapterState(adapter, state);
}

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

std::string Text(const SocketAddressInet& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.family == kFamilyIpv4) inet_ntop(AF_INET, address.rest, text, sizeof text);
  else if (address.family == kFamilyIpv6) inet_ntop(AF_INET6, address.rest + 4, text, sizeof text);
  else return "family " + std::to_string(address.family);
  return text;
}

std::string Text(const RouteRow& row) {
  std::string text = Text(row.destination) + "/" + std::to_string(row.prefixLength) + " via " + Text(row.nextHop) +
                     " on " + std::to_string(row.interfaceLuid);
  const bool sharedSettings =
      row.protocol == 3 && row.metric == 0 && row.sitePrefixLength == row.prefixLength && row.interfaceIndex == 0;
  return sharedSettings ? text : text + " (wrong route settings)";
}

void EraseOnInterface(std::multiset<std::string>& table, std::uint64_t luid) {
  const std::string suffix = " on " + std::to_string(luid);
  std::erase_if(table, [&](const std::string& entry) { return entry.ends_with(suffix); });
}

}  // namespace

FakeTunnelSystem::FakeTunnelSystem() { current = this; }
FakeTunnelSystem::~FakeTunnelSystem() {
  if (current == this) current = nullptr;
}

void FakeTunnelSystem::Fail(const std::string& call, std::uint32_t error, int nth) {
  faults.push_back({call, nth, error});
}

void FakeTunnelSystem::Heal() {
  faults.clear();
  missingExports.clear();
  splitError.clear();
}

bool FakeTunnelSystem::Record(const std::string& call, const std::string& detail) {
  calls.push_back(detail.empty() ? call : call + " " + detail);
  callNames.push_back(call);
  const auto made = std::count(callNames.begin(), callNames.end(), call);
  for (const Fault& fault : faults) {
    if (fault.call == call && (fault.nth == 0 || fault.nth == made)) {
      lastError = fault.error;
      return true;
    }
  }
  return false;
}

std::u16string FakeTunnelSystem::OwnProgramPath() { return Record("OwnProgramPath") ? u"" : programPath; }

ModuleHandle FakeTunnelSystem::LoadLibraryAt(const std::u16string& path) {
  if (Record("LoadLibraryAt", Narrow(path))) return nullptr;
  ++loadedLibraries;
  return this;
}

ExportAddress FakeTunnelSystem::FindExport(ModuleHandle module, const char* name) {
  Record("FindExport", name);
  const std::string_view wanted = name;
  if (module != this || missingExports.contains(name)) return nullptr;
  if (wanted == "WireGuardCreateAdapter") return reinterpret_cast<ExportAddress>(&FakeCreateAdapter);
  if (wanted == "WireGuardCloseAdapter") return reinterpret_cast<ExportAddress>(&FakeCloseAdapter);
  if (wanted == "WireGuardGetAdapterLUID") return reinterpret_cast<ExportAddress>(&FakeGetAdapterLuid);
  if (wanted == "WireGuardSetConfiguration") return reinterpret_cast<ExportAddress>(&FakeSetConfiguration);
  if (wanted == "WireGuardSetAdapterState") return reinterpret_cast<ExportAddress>(&FakeSetAdapterState);
  return nullptr;
}

void FakeTunnelSystem::UnloadLibrary(ModuleHandle) {
  Record("UnloadLibrary");
  --loadedLibraries;
}

// The Linux shell's strict decoder: what CryptoAPI accepts for a 32-byte buffer, and no more.
bool FakeTunnelSystem::DecodeKey(const std::string& text, WireGuardKey& key) {
  return !Record("DecodeKey") && LinuxTunnelPlatform().DecodeKey(text, key);
}

bool FakeTunnelSystem::ResolveAddress(const std::string& host, const std::string& port, SocketAddressInet& address) {
  if (Record("ResolveAddress", host + " " + port)) return false;
  if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit) || std::stoi(port) > 65535) {
    return false;
  }
  address = SocketAddressInet{};
  address.port = htons(static_cast<std::uint16_t>(std::stoi(port)));
  if (inet_pton(AF_INET, host.c_str(), address.rest) == 1) address.family = kFamilyIpv4;
  else if (inet_pton(AF_INET6, host.c_str(), address.rest + 4) == 1) address.family = kFamilyIpv6;
  return address.family != 0;  // names do not resolve here
}

std::uint32_t FakeTunnelSystem::BestRoute(const SocketAddressInet& destination, std::uint64_t& interfaceLuid,
                                          SocketAddressInet& nextHop) {
  if (Record("BestRoute", Text(destination))) return lastError;
  interfaceLuid = 7;  // the physical interface
  nextHop = SocketAddressInet{};
  nextHop.family = destination.family;
  if (destination.family == kFamilyIpv4) inet_pton(AF_INET, "192.0.2.1", nextHop.rest);
  else inet_pton(AF_INET6, "fe80::1", nextHop.rest + 4);
  return 0;
}

std::uint32_t FakeTunnelSystem::CreateRoute(const RouteRow& row) {
  const std::string route = Text(row);
  if (Record("CreateRoute", route)) return lastError;
  if (routes.contains(route)) return kErrorObjectAlreadyExists;
  routes.insert(route);
  return 0;
}

std::uint32_t FakeTunnelSystem::DeleteRoute(const RouteRow& row) {
  const std::string route = Text(row);
  if (Record("DeleteRoute", route)) return lastError;
  const auto found = routes.find(route);
  if (found == routes.end()) return 1168;  // ERROR_NOT_FOUND
  routes.erase(found);
  return 0;
}

std::uint32_t FakeTunnelSystem::CreateAddress(const AddressRow& row) {
  std::string address = Text(row.address) + "/" + std::to_string(row.onLinkPrefixLength) + " on " +
                        std::to_string(row.interfaceLuid);
  if (row.dadState != 4) address += " (not preferred)";
  if (Record("CreateAddress", address)) return lastError;
  if (addresses.contains(address)) return kErrorObjectAlreadyExists;
  addresses.insert(address);
  return 0;
}

bool FakeTunnelSystem::Start(std::uint64_t luid, const std::vector<std::string>& gameProcesses, std::string& error) {
  std::string detail = std::to_string(luid);
  for (const std::string& name : gameProcesses) detail += " " + name;
  Record("split.Start", detail);
  if (!splitError.empty()) {
    error = splitError;
    return false;
  }
  splitRunning = true;
  return true;
}

void FakeTunnelSystem::Stop() {
  Record("split.Stop");
  splitRunning = false;
}

void* FakeTunnelSystem::CreateAdapter(const char16_t* name, const char16_t* tunnelType, const void* guid) {
  if (Record("createAdapter", Narrow(name) + " " + Narrow(tunnelType) + (guid ? " with a guid" : ""))) {
    return nullptr;
  }
  openAdapters.insert(++adaptersMade);
  return reinterpret_cast<void*>(adaptersMade);
}

void FakeTunnelSystem::CloseAdapter(void* adapter) {
  const auto id = reinterpret_cast<std::uintptr_t>(adapter);
  Record("closeAdapter", std::to_string(id));
  openAdapters.erase(id);
  // The interface's own address and routes go with it, as on the real system.
  EraseOnInterface(routes, LuidOf(id));
  EraseOnInterface(addresses, LuidOf(id));
}

void FakeTunnelSystem::GetAdapterLuid(void* adapter, std::uint64_t* luid) {
  Record("getAdapterLuid");
  *luid = LuidOf(reinterpret_cast<std::uintptr_t>(adapter));
}

bool FakeTunnelSystem::SetConfiguration(void*, const void* block, std::uint32_t bytes) {
  const auto* first = static_cast<const std::uint8_t*>(block);
  configuration.assign(first, first + bytes);
  return !Record("setConfiguration", std::to_string(bytes));
}

bool FakeTunnelSystem::SetAdapterState(void*, std::int32_t state) {
  return !Record("setAdapterState", std::to_string(state));
}

}  // namespace zv::test

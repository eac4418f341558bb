#include "wireguard_nt_device.h"

#include <chrono>
#include <cstring>

#include "file_rights.h"

namespace zv {
namespace {

constexpr std::u16string_view kSeparators = u"\\/";  // the first one is written
constexpr std::u16string_view kLibraryName = u"wireguard.dll";

template <typename Function>
void Find(NtLibraryCalls& calls, ModuleHandle module, const char* name, Function& function) {
  function = reinterpret_cast<Function>(calls.FindExport(module, name));
}

std::string NumberedCode(const char* prefix, std::uint32_t number) { return prefix + std::to_string(number); }

// A FILETIME's ticks: 100 ns since 1601-01-01 UTC, which is 11644473600 s before the Unix epoch.
std::chrono::seconds SecondsSinceUnixEpoch(std::uint64_t fileTime) {
  return std::chrono::seconds(static_cast<std::int64_t>(fileTime / 10000000) - 11644473600LL);
}

}  // namespace

std::u16string LibraryPathBeside(std::u16string_view programPath, std::u16string_view libraryName) {
  const auto isSeparator = [&](char16_t c) { return kSeparators.find(c) != std::u16string_view::npos; };
  std::size_t end = programPath.find_last_of(kSeparators);
  if (end == std::u16string_view::npos) return std::u16string(libraryName);
  const std::size_t separatorAt = end;
  while (end > 0 && isSeparator(programPath[end - 1])) --end;
  // "C:\x.exe" keeps the root's separator: "C:" alone would mean the drive's current folder.
  if (end == 0 || programPath[end - 1] == u':') end = separatorAt + 1;
  std::u16string path(programPath.substr(0, end));
  if (!isSeparator(path.back())) path += kSeparators.front();
  return path.append(libraryName);
}

Secret ComposeConfigurationBlock(const PeerSettings& settings) {
  WireGuardInterface head{};
  head.flags = kInterfaceHasPrivateKey | kInterfaceReplacePeers;
  head.peersCount = 1;

  WireGuardPeer peer{};
  peer.flags = kPeerHasPublicKey | kPeerHasPersistentKeepalive | kPeerHasEndpoint | kPeerReplaceAllowedIps;
  std::memcpy(peer.publicKey, settings.peerPublicKey.data(), settings.peerPublicKey.size());
  peer.persistentKeepalive = settings.keepaliveSeconds;
  peer.endpoint = ToSockaddrInet(settings.endpoint);
  peer.allowedIpsCount = static_cast<std::uint32_t>(settings.allowedNetworks.size());

  Secret block = Secret::Sized(kConfigurationHeadSize + sizeof(WireGuardAllowedIp) * settings.allowedNetworks.size());
  std::memcpy(block.data(), &head, sizeof head);
  // The key goes straight into the block, which wipes itself: no other copy of it is made.
  std::memcpy(block.data() + offsetof(WireGuardInterface, privateKey), settings.privateKey.data(), 32);
  std::memcpy(block.data() + sizeof head, &peer, sizeof peer);
  std::uint8_t* next = block.data() + kConfigurationHeadSize;
  for (const IpPrefix& network : settings.allowedNetworks) {
    WireGuardAllowedIp entry{};
    std::memcpy(entry.address, network.address.Bytes(), network.address.Length());
    entry.addressFamily = network.address.family == IpFamily::V6 ? kAfInet6 : kAfInet;
    entry.cidr = network.length;
    std::memcpy(next, &entry, sizeof entry);
    next += sizeof entry;
  }
  return block;
}

WireGuardApi WireGuardNtDevice::Resolve() {
  WireGuardApi found;
  Find(calls, module, "WireGuardCreateAdapter", found.createAdapter);
  Find(calls, module, "WireGuardCloseAdapter", found.closeAdapter);
  Find(calls, module, "WireGuardGetAdapterLUID", found.getAdapterLuid);
  Find(calls, module, "WireGuardSetConfiguration", found.setConfiguration);
  Find(calls, module, "WireGuardSetAdapterState", found.setAdapterState);
  return found;
}

bool WireGuardNtDevice::Create(std::string& error) {
  const std::u16string program = calls.OwnProgramPath();
  if (program.empty()) {
    error = "resolve_service_path_failed";
    return false;
  }
  const std::u16string library = LibraryPathBeside(program, kLibraryName);
  // It runs as the system: only a file no user may change is loaded, and it is
  // held open meanwhile, so nobody can swap it between the look and the load.
  const FileHandle held = calls.HoldFile(library);
  if (held == nullptr) {
    error = "embedded_tunnel_component_missing";
    return false;
  }
  if (!OthersWhoMayChange(calls.FileSecurity(held)).empty()) {
    calls.ReleaseFile(held);
    error = "embedded_tunnel_component_untrusted";
    return false;
  }
  module = calls.LoadLibraryAt(library);
  calls.ReleaseFile(held);
  if (module == nullptr) {
    error = "embedded_tunnel_component_missing";
    return false;
  }
  api = Resolve();
  const auto unload = [&](std::string code) {
    calls.UnloadLibrary(module);
    module = nullptr;
    error = std::move(code);
    return false;
  };
  if (!api.Valid()) return unload("embedded_tunnel_api_invalid");
  adapter = api.createAdapter(kWideAdapterName, kWideAdapterName, nullptr);
  if (adapter == nullptr) return unload(NumberedCode("create_adapter_failed_", calls.LastError()));
  Find(calls, module, "WireGuardGetConfiguration", api.getConfiguration);
  raised = false;
  return true;
}

std::uint64_t WireGuardNtDevice::InterfaceId() {
  api.getAdapterLuid(adapter, &luid);
  return luid;
}

bool WireGuardNtDevice::Configure(const PeerSettings& settings, std::string& error) {
  const Secret block = ComposeConfigurationBlock(settings);
  allowedNetworks = settings.allowedNetworks.size();
  if (api.setConfiguration(adapter, block.data(), static_cast<std::uint32_t>(block.size())) == 0) {
    error = NumberedCode("set_tunnel_config_failed_", calls.LastError());
    return false;
  }
  return true;
}

bool WireGuardNtDevice::Raise(std::string& error) {
  if (api.setAdapterState(adapter, kAdapterStateUp) == 0) {
    if (error.empty()) error = NumberedCode("start_adapter_failed_", calls.LastError());
    return false;
  }
  raised = true;
  return true;
}

void WireGuardNtDevice::Close(const WireGuardApi& resolved, const std::function<void()>& afterClose) {
  if (raised) resolved.setAdapterState(adapter, kAdapterStateDown);
  resolved.closeAdapter(adapter);
  adapter = nullptr;
  raised = false;
  afterClose();
  calls.UnloadLibrary(module);
  module = nullptr;
}

// A stop resolves the functions again from the kept module, and touches
// nothing when one is missing.
bool WireGuardNtDevice::Release(const std::function<void()>& afterClose, std::string& error) {
  const WireGuardApi resolved = module != nullptr ? Resolve() : WireGuardApi{};
  if (!resolved.Valid()) {
    error = "embedded_tunnel_api_invalid";
    return false;
  }
  Close(resolved, afterClose);
  return true;
}

void WireGuardNtDevice::Abandon(const std::function<void()>& afterClose) { Close(api, afterClose); }

bool WireGuardNtDevice::Present() { return calls.InterfaceExists(luid); }

std::optional<PeerActivity> WireGuardNtDevice::Activity() {
  if (api.getConfiguration == nullptr) return std::nullopt;
  // The block read back holds the interface's private key too.
  Secret block = Secret::Sized(kConfigurationHeadSize + allowedNetworks * sizeof(WireGuardAllowedIp));
  auto bytes = static_cast<std::uint32_t>(block.size());
  if (api.getConfiguration(adapter, block.data(), &bytes) == 0 || bytes < kConfigurationHeadSize) return std::nullopt;
  PeerActivity activity;
  WireGuardPeer peer;
  std::memcpy(&peer, block.data() + sizeof(WireGuardInterface), sizeof peer);
  activity.receivedBytes = peer.rxBytes;
  if (peer.lastHandshake != 0) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    activity.sinceHandshake = now - SecondsSinceUnixEpoch(peer.lastHandshake);
  }
  return activity;
}

}  // namespace zv

// The tunnel on Windows: a WireGuardNT adapter, through wireguard.dll loaded
// from the service's own folder each time a tunnel starts, its five functions
// resolved by name, and one configuration block of its published layout.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nt_calls.h"
#include "tunnel_device.h"
#include "wireguard_nt.h"

namespace zv {

struct WireGuardApi {
  CreateAdapterFunction createAdapter = nullptr;
  CloseAdapterFunction closeAdapter = nullptr;
  GetAdapterLuidFunction getAdapterLuid = nullptr;
  SetConfigurationFunction setConfiguration = nullptr;
  SetAdapterStateFunction setAdapterState = nullptr;
  GetConfigurationFunction getConfiguration = nullptr;  // for the counters only; not one of the five

  bool Valid() const { return createAdapter && closeAdapter && getAdapterLuid && setConfiguration && setAdapterState; }
};

// The library's path in the program's own folder; a drive or file system root keeps its separator.
std::u16string LibraryPathBeside(std::u16string_view programPath, std::u16string_view libraryName);

// One zero-filled block of 216 + 24 n bytes: our private key, replacing every
// earlier peer with this one, the keepalive, replacing its allowed networks.
Secret ComposeConfigurationBlock(const PeerSettings& settings);

class WireGuardNtDevice final : public TunnelDevice {
 public:
  explicit WireGuardNtDevice(NtLibraryCalls& calls) : calls(calls) {}

  bool Create(std::string& error) override;
  std::uint64_t InterfaceId() override;
  bool Configure(const PeerSettings& settings, std::string& error) override;
  bool Raise(std::string& error) override;
  bool Release(const std::function<void()>& afterClose, std::string& error) override;
  void Abandon(const std::function<void()>& afterClose) override;
  bool Present() override;
  std::optional<PeerActivity> Activity() override;
  // A WireGuardNT adapter goes with the handles of the process that made it:
  // no process carries it, and nothing of it outlives a killed service.
  AdapterTrace Trace() override { return {}; }
  void RemoveStale(const AdapterTrace&) override {}

 private:
  WireGuardApi Resolve();
  void Close(const WireGuardApi& api, const std::function<void()>& afterClose);

  NtLibraryCalls& calls;
  ModuleHandle module = nullptr;
  WireGuardApi api;
  WireGuardAdapterHandle adapter = nullptr;
  std::uint64_t luid = 0;
  std::size_t allowedNetworks = 0;  // as configured: the size of the block read back
  bool raised = false;
};

}  // namespace zv

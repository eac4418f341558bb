#include "wireguard_tunnel.h"

#include <algorithm>
#include <vector>

#include "allowed_ip.h"
#include "numbered_code.h"
#include "request_fields.h"
#include "tunnel_routes.h"
#include "wireguard_config.h"

namespace zv {

struct WireGuardTunnel::Building {
  WireGuardApi api;
  ModuleHandle module = nullptr;
  WireGuardAdapterHandle adapter = nullptr;
  std::unique_ptr<RouteRow> endpointRoute;
  bool raised = false;
  TunnelRecord record{true, {}, std::nullopt};
};

namespace {

// The one order in which a tunnel is taken apart, at a failed start as at a stop.
// The address and routes on the adapter's interface go with the adapter.
void Release(TunnelPlatform& platform, const WireGuardApi& api, ModuleHandle module, WireGuardAdapterHandle adapter,
             const RouteRow* endpointRoute, bool raised) {
  if (raised) api.setAdapterState(adapter, kAdapterStateDown);
  if (adapter != nullptr) api.closeAdapter(adapter);
  if (endpointRoute != nullptr) platform.DeleteRoute(*endpointRoute);
  if (module != nullptr) platform.UnloadLibrary(module);
}

}  // namespace

bool WireGuardTunnel::Abandon(Building& building) {
  Release(platform, building.api, building.module, building.adapter, building.endpointRoute.get(), building.raised);
  ForgetTunnelRecord(platform);
  return false;
}

bool WireGuardTunnel::BringUp(const std::string& requestText, std::string& error) {
  // A new request replaces whatever an earlier tunnel still had to rebuild.
  if (&requestText != &request) ForgetRequest();
  const std::string privateKey = ReadStringField(requestText, "private_key");
  const std::string assignedIp = ReadStringField(requestText, "assigned_ip");
  const std::string serverPublicKey = ReadStringField(requestText, "server_public_key");
  const std::string endpointText = ReadStringField(requestText, "endpoint");
  const std::string routeMode = ReadStringField(requestText, "route_mode");
  const bool splitRouting = routeMode == "process-beta";
  const std::vector<std::string> allowedIps = ReadStringArrayField(requestText, "allowed_ips");
  const std::vector<std::string> gameProcesses = ReadStringArrayField(requestText, "game_processes");
  // Only emptiness here, and no control character in any value (the only ones
  // the system's text calls would cut short); the texts themselves are judged
  // once the adapter exists.
  const auto tainted = [](const std::vector<std::string>& values) {
    return std::any_of(values.begin(), values.end(), HoldsControlCharacter);
  };
  if (privateKey.empty() || assignedIp.empty() || serverPublicKey.empty() || endpointText.empty() ||
      allowedIps.empty() || tainted({privateKey, assignedIp, serverPublicKey, endpointText, routeMode}) ||
      tainted(allowedIps) || tainted(gameProcesses)) {
    error = "invalid_tunnel_config";
    return false;
  }

  Building building;
  // The intent comes first: a service killed at any later instant is undone by the next one.
  SaveTunnelRecord(platform, building.record);
  if (!LoadWireGuardApi(platform, building.module, building.api, error)) return Abandon(building);
  building.adapter = building.api.createAdapter(kAdapterName, kAdapterName, nullptr);
  if (building.adapter == nullptr) {
    error = NumberedCode("create_adapter_failed_", platform.LastError());
    return Abandon(building);
  }
  building.record.trace = platform.TraceAdapter();
  SaveTunnelRecord(platform, building.record);

  TunnelLists lists;
  if (!BuildTunnelLists(splitRouting, allowedIps, lists)) {
    error = "invalid_allowed_ip";
    return Abandon(building);
  }
  SocketAddressInet endpoint{};
  std::vector<std::uint8_t> block;
  if (!BuildWireGuardConfiguration(platform, privateKey, serverPublicKey, endpointText, lists.peer, endpoint, block,
                                   error)) {
    return Abandon(building);
  }
  const bool configured =
      building.api.setConfiguration(building.adapter, block.data(), static_cast<std::uint32_t>(block.size())) != 0;
  const std::uint32_t configurationError = configured ? 0 : platform.LastError();
  std::fill(block.begin(), block.end(), 0);  // it holds the private key
  if (!configured) {
    error = NumberedCode("set_tunnel_config_failed_", configurationError);
    return Abandon(building);
  }

  auto row = std::make_unique<RouteRow>();
  bool created = false;
  const NoteOwnedRoute note = [&](const std::optional<RouteRow>& route) {
    building.record.endpointRoute = route;
    SaveTunnelRecord(platform, building.record);
  };
  if (!AddEndpointRoute(platform, endpoint, *row, created, note, error)) return Abandon(building);
  if (created) building.endpointRoute = std::move(row);

  std::uint64_t luid = 0;
  building.api.getAdapterLuid(building.adapter, &luid);
  // A failed configuration is never raised; its own code stands.
  if (!ConfigureAddressAndRoutes(platform, luid, assignedIp, lists.routes, error) ||
      building.api.setAdapterState(building.adapter, kAdapterStateUp) == 0) {
    if (error.empty()) error = NumberedCode("start_adapter_failed_", platform.LastError());
    return Abandon(building);
  }
  building.raised = true;

  if (splitRouting && !split.Start(luid, gameProcesses, error)) return Abandon(building);

  tunnelModule = building.module;
  adapter = building.adapter;
  this->luid = luid;
  endpointPin.emplace(platform, endpoint, luid, std::move(building.endpointRoute),
                      [this](const std::optional<RouteRow>& route) {
                        record.endpointRoute = route;
                        SaveTunnelRecord(platform, record);
                      });
  record = building.record;
  if (request.empty()) request = requestText;
  return true;
}

bool WireGuardTunnel::TearDown(std::string& error) {
  split.Stop();  // whether or not a tunnel runs
  if (adapter == nullptr) {
    ForgetRequest();  // a rebuild that was still to come is not wanted any more
    return true;
  }
  if (!ReleaseAdapter()) {
    error = "embedded_tunnel_api_invalid";  // the tunnel is left running rather than half closed
    return false;
  }
  ForgetRequest();
  return true;
}

bool WireGuardTunnel::ReleaseAdapter() {
  const WireGuardApi api = tunnelModule != nullptr ? ResolveWireGuardApi(platform, tunnelModule) : WireGuardApi{};
  if (!api.Valid()) return false;
  Release(platform, api, tunnelModule, adapter, endpointPin->Owned(), true);
  ForgetTunnelRecord(platform);
  adapter = nullptr;
  endpointPin.reset();
  tunnelModule = nullptr;
  return true;
}

WireGuardTunnel::~WireGuardTunnel() { ForgetRequest(); }

void WireGuardTunnel::ForgetRequest() {
  std::fill(request.begin(), request.end(), '\0');  // it holds the private key
  request.clear();
  upkeepDue.reset();
  rebuilds = 0;
}

std::optional<std::chrono::milliseconds> WireGuardTunnel::Upkeep(bool news, UpkeepClock::time_point now) {
  if (request.empty()) return std::nullopt;  // no tunnel, and none to rebuild
  if (news && (!upkeepDue || *upkeepDue > now + kUpkeepSettle)) upkeepDue = now + kUpkeepSettle;
  if (!upkeepDue) return std::nullopt;
  if (now < *upkeepDue) return std::chrono::ceil<std::chrono::milliseconds>(*upkeepDue - now);
  upkeepDue.reset();

  if (adapter != nullptr && platform.AdapterPresent(luid)) {
    endpointPin->Follow();
    return std::nullopt;
  }
  // The adapter is gone (on Linux its helper died), or the last rebuild did not come up.
  if (rebuilds > 0 && now - firstRebuild > kRebuildWindow) rebuilds = 0;
  if (rebuilds >= kRebuildLimit) {
    std::string ignored;
    TearDown(ignored);  // left cleanly down rather than half built
    return std::nullopt;
  }
  if (const auto at = lastRebuild + RebuildWait(rebuilds); rebuilds > 0 && at > now) {
    upkeepDue = at;
  } else {
    Rebuild(now);
  }
  if (!upkeepDue) return std::nullopt;
  return std::chrono::ceil<std::chrono::milliseconds>(*upkeepDue - now);
}

std::chrono::milliseconds WireGuardTunnel::RebuildWait(int done) {
  return done == 0 ? std::chrono::milliseconds(0) : std::chrono::milliseconds(1000) * (1 << (done - 1));
}

// What is left of the tunnel is taken apart and the same request brought up
// again; the acceleration state, which only requests change, stays as it is.
void WireGuardTunnel::Rebuild(UpkeepClock::time_point now) {
  if (rebuilds == 0) firstRebuild = now;
  ++rebuilds;
  lastRebuild = now;
  split.Stop();
  std::string error;
  // An adapter that cannot be released yet is not built over: the next try comes after the wait.
  if ((adapter != nullptr && !ReleaseAdapter()) || !BringUp(request, error)) upkeepDue = now + RebuildWait(rebuilds);
}

}  // namespace zv

// The tunnel engine over WireGuardNT: one start request becomes a configured
// adapter with its endpoint route, address and routes, raised, and in split
// routing the split started; any failure undoes all of it.
#pragma once

#include <memory>
#include <string>

#include "split_routing.h"
#include "tunnel_engine.h"
#include "tunnel_platform.h"
#include "tunnel_record.h"
#include "wireguard_binding.h"

namespace zv {

class WireGuardTunnel final : public TunnelEngine {
 public:
  WireGuardTunnel(TunnelPlatform& platform, SplitRouting& split) : platform(platform), split(split) {}

  bool Running() const override { return adapter != nullptr; }
  bool BringUp(const std::string& requestText, std::string& error) override;
  bool TearDown(std::string& error) override;
  // Before the first start: what a killed earlier instance recorded is removed.
  bool RecoverStaleState() { return RecoverStaleTunnel(platform); }

 private:
  struct Building;  // what a start has made so far, released in reverse on failure
  bool Abandon(Building& building);  // always false, for `return Abandon(...)`

  TunnelPlatform& platform;
  SplitRouting& split;
  ModuleHandle tunnelModule = nullptr;
  WireGuardAdapterHandle adapter = nullptr;
  std::unique_ptr<RouteRow> endpointRoute;  // only a route this service created
  TunnelRecord record;                      // as last saved, for the running tunnel
};

}  // namespace zv

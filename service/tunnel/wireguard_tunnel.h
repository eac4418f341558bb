// The tunnel engine over WireGuardNT: one start request becomes a configured
// adapter with its endpoint route, address and routes, raised, and in split
// routing the split started; any failure undoes all of it. While it runs, the
// endpoint route follows the best path, and an adapter that vanished (a dead
// wireguard-go helper on Linux) is built again from the same request.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "endpoint_pin.h"
#include "split_routing.h"
#include "tunnel_engine.h"
#include "tunnel_platform.h"
#include "tunnel_record.h"
#include "wireguard_binding.h"

namespace zv {

// News comes in bursts (a link going down removes routes one by one): it is
// acted on once, this long after the first of a burst.
inline constexpr std::chrono::milliseconds kUpkeepSettle{100};
// A vanished adapter is rebuilt at once, then after 1, 2 and 4 s should it
// vanish again; the next time within a minute the tunnel is left down.
inline constexpr int kRebuildLimit = 4;
inline constexpr std::chrono::seconds kRebuildWindow{60};

class WireGuardTunnel final : public TunnelEngine {
 public:
  WireGuardTunnel(TunnelPlatform& platform, SplitRouting& split) : platform(platform), split(split) {}
  ~WireGuardTunnel() override;

  bool Running() const override { return adapter != nullptr; }
  bool Held() const override { return adapter != nullptr || !request.empty(); }
  bool BringUp(const std::string& requestText, std::string& error) override;
  bool TearDown(std::string& error) override;
  std::optional<std::chrono::milliseconds> Upkeep(bool news, UpkeepClock::time_point now) override;
  // Before the first start: what a killed earlier instance recorded is removed.
  bool RecoverStaleState() { return RecoverStaleTunnel(platform); }

 private:
  struct Building;  // what a start has made so far, released in reverse on failure
  bool Abandon(Building& building);  // always false, for `return Abandon(...)`
  void Rebuild(UpkeepClock::time_point now);
  // Takes apart what is built; false, touching nothing, when the library's functions cannot be resolved.
  bool ReleaseAdapter();
  static std::chrono::milliseconds RebuildWait(int done);
  void ForgetRequest();

  TunnelPlatform& platform;
  SplitRouting& split;
  ModuleHandle tunnelModule = nullptr;
  WireGuardAdapterHandle adapter = nullptr;
  std::uint64_t luid = 0;
  std::optional<EndpointPin> endpointPin;  // owns the endpoint route when this service created it
  TunnelRecord record;                     // as last saved, for the running tunnel
  std::string request;                     // the running tunnel's request, to rebuild it (it holds its key)
  std::optional<UpkeepClock::time_point> upkeepDue;
  int rebuilds = 0;  // within the window since the first of them
  UpkeepClock::time_point firstRebuild{}, lastRebuild{};
};

}  // namespace zv

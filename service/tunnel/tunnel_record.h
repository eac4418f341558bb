// What a tunnel start is making or a running tunnel owns, written where only
// the service can write before anything is made, so that a start after a
// crash removes what the crashed instance left, and nothing it did not make.
#pragma once

#include <optional>

#include "tunnel_platform.h"

namespace zv {

struct TunnelRecord {
  bool adapter = false;  // an adapter is being made or runs
  AdapterTrace trace;    // the process behind it, once known
  std::optional<RouteRow> endpointRoute;  // only a route the service created
};

// Replaces the record whole: a kill at any instant leaves the old or the new one.
void SaveTunnelRecord(TunnelPlatform& platform, const TunnelRecord& record);
void ForgetTunnelRecord(TunnelPlatform& platform);
// Removes what a recorded earlier instance left; true when there was a record.
bool RecoverStaleTunnel(TunnelPlatform& platform);

}  // namespace zv

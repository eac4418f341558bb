// What a running tunnel owns, written where only the service can write, so
// that a start after a crash removes what the crashed instance left, and
// nothing it did not make.
#pragma once

#include <optional>

#include "tunnel_platform.h"

namespace zv {

struct TunnelRecord {
  bool adapter = false;
  std::optional<RouteRow> endpointRoute;  // only a route the service created
};

void SaveTunnelRecord(TunnelPlatform& platform, const TunnelRecord& record);
void ForgetTunnelRecord(TunnelPlatform& platform);
// Removes what a recorded earlier instance left; true when there was a record.
bool RecoverStaleTunnel(TunnelPlatform& platform);

}  // namespace zv

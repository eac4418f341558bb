// What a tunnel start is making or a running tunnel owns, written where only
// the service can write before anything is made, so that a start after a
// crash removes what the crashed instance left, and nothing it did not make.
#pragma once

#include <filesystem>
#include <optional>

#include "route_table.h"
#include "tunnel_device.h"

namespace zv {

struct TunnelRecord {
  bool adapter = false;  // an adapter is being made or runs
  AdapterTrace trace;    // the process behind it, once known
  std::optional<Route> endpointRoute;  // only a route the service created
};

// Replaces the record whole: a kill at any instant leaves the old or the new
// one. An empty path keeps no record. The Linux service names its record
// through the folder it opened (/proc/self/fd/N/tunnel), and a link at the
// record's own name is never followed there.
void SaveTunnelRecord(const std::filesystem::path& path, const TunnelRecord& record);
void ForgetTunnelRecord(const std::filesystem::path& path);
// The record an earlier instance left, removed with its half-written
// successor; nothing when there was none or it cannot be trusted.
std::optional<TunnelRecord> TakeTunnelRecord(const std::filesystem::path& path);

}  // namespace zv

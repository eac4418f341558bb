// The round trips that show what the acceleration gains, from the service's
// own sockets, either way: through the tunnel, as the game's traffic goes,
// or directly, as it would go without the acceleration (Linux: a mark of the
// service's own that a rule sends to the main table; Windows: from the
// address of the path to the node's endpoint). Blocking; only the gain
// meter's thread calls them.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "net_types.h"

namespace zv {

enum class PathWay { Direct, Tunnel };

class PathProbe {
 public:
  virtual ~PathProbe() = default;
  // An ICMP echo to `to`: the round trip, or nothing when no answer came within `wait`.
  virtual std::optional<std::chrono::microseconds> Echo(const IpAddress& to, PathWay way, const TunnelEnds& tunnel,
                                                        std::chrono::milliseconds wait) = 0;
  // A TCP connection to `to` and its port: the time until it was accepted or
  // refused (the SYN-ACK or the reset), then dropped; nothing without either.
  virtual std::optional<std::chrono::microseconds> Connect(const IpAddress& to, PathWay way, const TunnelEnds& tunnel,
                                                           std::chrono::milliseconds wait) = 0;
  // Whether the machine has a path to the node's endpoint outside the tunnel.
  virtual bool HasPath(const TunnelEnds& tunnel) = 0;
};

std::unique_ptr<PathProbe> OpenPathProbe();

}  // namespace zv

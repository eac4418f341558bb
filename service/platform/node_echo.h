// One echo to the acceleration node's own tunnel address, 10.240.0.1, which
// every tunnel routes through itself: the round trip, or nothing when no
// answer came within `wait`. Blocking; only the quality meter's thread calls it.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

namespace zv {

class NodeEcho {
 public:
  virtual ~NodeEcho() = default;
  virtual std::optional<std::chrono::microseconds> Echo(std::chrono::milliseconds wait) = 0;
};

std::unique_ptr<NodeEcho> OpenNodeEcho();

}  // namespace zv

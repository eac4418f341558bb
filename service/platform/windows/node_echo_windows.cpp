// The echo to the node: the tunnel's route for the node's address takes it
// through the tunnel.
#include <cstring>

#include "icmp_echo_windows.h"
#include "net_types.h"
#include "node_echo.h"

namespace zv {
namespace {

class WindowsNodeEcho final : public NodeEcho {
 public:
  std::optional<std::chrono::microseconds> Echo(std::chrono::milliseconds wait) override {
    IN_ADDR node{};
    std::memcpy(&node, kNodeTunnelAddress, 4);
    return IcmpEcho(std::nullopt, node, wait);
  }
};

}  // namespace

std::unique_ptr<NodeEcho> OpenNodeEcho() { return std::make_unique<WindowsNodeEcho>(); }

}  // namespace zv

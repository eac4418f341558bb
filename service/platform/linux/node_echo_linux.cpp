// The echo to the node through the tunnel's interface alone.
#include <sys/socket.h>

#include <string>

#include "icmp_echo_linux.h"
#include "net_types.h"
#include "node_echo.h"

namespace zv {
namespace {

class LinuxNodeEcho final : public NodeEcho {
 public:
  std::optional<std::chrono::microseconds> Echo(std::chrono::milliseconds wait) override {
    const std::string device = kAdapterName;
    return EchoOnce(kNodeTunnelAddress, [&](int fd) {
      return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size())) == 0;
    }, wait);
  }
};

}  // namespace

std::unique_ptr<NodeEcho> OpenNodeEcho() { return std::make_unique<LinuxNodeEcho>(); }

}  // namespace zv

// The probes from the service's own sockets: through the tunnel with the
// split's mark, as the game's packets go, and bound to the tunnel's interface,
// so that nothing else carries them; directly with the mark whose rule looks
// up the main table alone (routing_linux.h).
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "icmp_echo_linux.h"
#include "path_probe.h"
#include "routing_linux.h"

namespace zv {
namespace {

bool Prepare(int fd, PathWay way) {
  const std::uint32_t mark = way == PathWay::Tunnel ? kSplitMark : kDirectMark;
  if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) return false;
  if (way == PathWay::Direct) return true;
  const std::string device = kAdapterName;
  return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size())) == 0;
}

sockaddr_in SocketAddress(const IpAddress& address) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(address.port);
  std::memcpy(&to.sin_addr, address.Bytes(), 4);
  return to;
}

class LinuxPathProbe final : public PathProbe {
 public:
  std::optional<std::chrono::microseconds> Echo(const IpAddress& to, PathWay way, const TunnelEnds&,
                                                std::chrono::milliseconds wait) override {
    if (to.family != IpFamily::V4) return std::nullopt;
    std::uint8_t address[4];
    std::memcpy(address, to.Bytes(), 4);
    return EchoOnce(address, [way](int fd) { return Prepare(fd, way); }, wait);
  }

  std::optional<std::chrono::microseconds> Connect(const IpAddress& to, PathWay way, const TunnelEnds&,
                                                   std::chrono::milliseconds wait) override {
    if (to.family != IpFamily::V4 || to.port == 0) return std::nullopt;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    const linger reset{1, 0};  // closed with a reset: the game's server keeps nothing of it
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    const sockaddr_in destination = SocketAddress(to);
    const auto began = std::chrono::steady_clock::now();
    std::optional<std::chrono::microseconds> answered;
    if (Prepare(fd, way)) {
      int outcome = connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0 ? 0 : errno;
      pollfd ready{fd, POLLOUT, 0};
      if (outcome == EINPROGRESS && poll(&ready, 1, static_cast<int>(wait.count())) == 1) {
        socklen_t size = sizeof outcome;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &outcome, &size);
      }
      // Accepted or refused, the server (or its host) answered.
      if (outcome == 0 || outcome == ECONNREFUSED) {
        answered = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
      }
    }
    close(fd);
    return answered;
  }

  bool HasPath(const TunnelEnds& tunnel) override {
    if (tunnel.endpoint.family != IpFamily::V4) return false;
    // A datagram socket's connect looks the route up and sends nothing.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in destination = SocketAddress(tunnel.endpoint);
    const bool found = Prepare(fd, PathWay::Direct) &&
                       connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0;
    close(fd);
    return found;
  }
};

}  // namespace

std::unique_ptr<PathProbe> OpenPathProbe() { return std::make_unique<LinuxPathProbe>(); }

}  // namespace zv

// The probes on Windows, each sent from an address of its own way: through
// the tunnel from the tunnel's address, directly from the address of the best
// path to the node's endpoint (which the pin keeps off the tunnel). Windows
// sends from an address through that address's interface, so a direct probe
// passes by the host routes the split made through the tunnel for the game's
// destinations; the service is not the game, and the driver never holds its flows.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstring>

#include "icmp_echo_windows.h"
#include "path_probe.h"

namespace zv {
namespace {

IN_ADDR InAddr(const IpAddress& address) {
  IN_ADDR result{};
  std::memcpy(&result, address.Bytes(), 4);
  return result;
}

// The address a probe of `way` is sent from; nothing when there is no such way.
std::optional<IN_ADDR> SourceOf(PathWay way, const TunnelEnds& tunnel) {
  if (tunnel.ownAddress.family != IpFamily::V4) return std::nullopt;
  const IN_ADDR own = InAddr(tunnel.ownAddress);
  if (way == PathWay::Tunnel) return own;
  if (tunnel.endpoint.family != IpFamily::V4) return std::nullopt;
  SOCKADDR_INET endpoint{}, source{};
  endpoint.si_family = AF_INET;
  endpoint.Ipv4.sin_addr = InAddr(tunnel.endpoint);
  MIB_IPFORWARD_ROW2 best{};
  if (GetBestRoute2(nullptr, 0, nullptr, &endpoint, 0, &best, &source) != NO_ERROR) return std::nullopt;
  if (source.si_family != AF_INET || source.Ipv4.sin_addr.S_un.S_addr == own.S_un.S_addr) return std::nullopt;
  return source.Ipv4.sin_addr;
}

class WindowsPathProbe final : public PathProbe {
 public:
  WindowsPathProbe() { started = WSAStartup(MAKEWORD(2, 2), &winsock) == 0; }
  ~WindowsPathProbe() override {
    if (started) WSACleanup();
  }

  std::optional<std::chrono::microseconds> Echo(const IpAddress& to, PathWay way, const TunnelEnds& tunnel,
                                                std::chrono::milliseconds wait) override {
    const auto source = SourceOf(way, tunnel);
    if (!source || to.family != IpFamily::V4) return std::nullopt;
    return IcmpEcho(source, InAddr(to), wait);
  }

  std::optional<std::chrono::microseconds> Connect(const IpAddress& to, PathWay way, const TunnelEnds& tunnel,
                                                   std::chrono::milliseconds wait) override {
    const auto source = SourceOf(way, tunnel);
    if (!source || to.family != IpFamily::V4 || to.port == 0) return std::nullopt;
    const SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connection == INVALID_SOCKET) return std::nullopt;
    const linger reset{1, 0};  // closed with a reset: the game's server keeps nothing of it
    setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset);
    u_long nonBlocking = 1;
    sockaddr_in from{}, destination{};
    from.sin_family = destination.sin_family = AF_INET;
    from.sin_addr = *source;
    destination.sin_addr = InAddr(to);
    destination.sin_port = htons(to.port);
    const auto began = std::chrono::steady_clock::now();
    std::optional<std::chrono::microseconds> answered;
    if (bind(connection, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
        ioctlsocket(connection, FIONBIO, &nonBlocking) == 0 &&
        (connect(connection, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0 ||
         WSAGetLastError() == WSAEWOULDBLOCK)) {
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(connection, &writable);
      FD_SET(connection, &failed);
      timeval limit{static_cast<long>(wait.count() / 1000), static_cast<long>(wait.count() % 1000 * 1000)};
      int outcome = WSAETIMEDOUT;
      int size = sizeof outcome;
      if (select(0, nullptr, &writable, &failed, &limit) == 1) {
        // Connected, or failed: the failure says whether the server refused.
        outcome = FD_ISSET(connection, &writable) ? 0 : WSAETIMEDOUT;
        if (FD_ISSET(connection, &failed)) getsockopt(connection, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcome), &size);
      }
      if (outcome == 0 || outcome == WSAECONNREFUSED) {
        answered = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
      }
    }
    closesocket(connection);
    return answered;
  }

  bool HasPath(const TunnelEnds& tunnel) override {
    return SourceOf(PathWay::Direct, tunnel).has_value();
  }

 private:
  WSADATA winsock{};
  bool started = false;
};

}  // namespace

std::unique_ptr<PathProbe> OpenPathProbe() { return std::make_unique<WindowsPathProbe>(); }

}  // namespace zv

// The echo through the tunnel's interface alone, from a raw ICMP socket: the
// service is root, and a raw socket needs no ping group (a fresh network
// namespace allows none).
#include <arpa/inet.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "net_types.h"
#include "node_echo.h"

namespace zv {
namespace {

std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (length % 2) sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<std::uint16_t>(~sum));
}

class LinuxNodeEcho final : public NodeEcho {
 public:
  std::optional<std::chrono::microseconds> Echo(std::chrono::milliseconds wait) override {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) return std::nullopt;
    const std::string device = kAdapterName;
    sockaddr_in node{};
    node.sin_family = AF_INET;
    std::memcpy(&node.sin_addr, kNodeTunnelAddress, 4);
    icmphdr request{};
    request.type = ICMP_ECHO;
    request.un.echo.id = htons(static_cast<std::uint16_t>(getpid()));
    request.un.echo.sequence = htons(++sequence);
    request.checksum = Checksum(reinterpret_cast<const std::uint8_t*>(&request), sizeof request);
    const auto sent = std::chrono::steady_clock::now();
    const auto deadline = sent + wait;
    std::optional<std::chrono::microseconds> roundTrip;
    if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(), static_cast<socklen_t>(device.size())) == 0 &&
        sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&node), sizeof node) > 0) {
      // Every ICMP packet on the interface arrives here: only our answer counts.
      for (auto now = sent; !roundTrip && now < deadline; now = std::chrono::steady_clock::now()) {
        pollfd ready{fd, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (poll(&ready, 1, static_cast<int>(left)) <= 0) break;
        std::uint8_t packet[1500];
        const ssize_t got = recv(fd, packet, sizeof packet, 0);
        if (got < static_cast<ssize_t>(sizeof(iphdr))) continue;
        const std::size_t headerLength = (packet[0] & 0x0f) * 4u;
        if (static_cast<std::size_t>(got) < headerLength + sizeof(icmphdr)) continue;
        icmphdr reply;
        std::memcpy(&reply, packet + headerLength, sizeof reply);
        if (reply.type == ICMP_ECHOREPLY && reply.un.echo.id == request.un.echo.id &&
            reply.un.echo.sequence == request.un.echo.sequence) {
          roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent);
        }
      }
    }
    close(fd);
    return roundTrip;
  }

 private:
  std::uint16_t sequence = 0;
};

}  // namespace

std::unique_ptr<NodeEcho> OpenNodeEcho() { return std::make_unique<LinuxNodeEcho>(); }

}  // namespace zv

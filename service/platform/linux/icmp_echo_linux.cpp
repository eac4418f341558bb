#include "icmp_echo_linux.h"

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace zv {
namespace {

std::uint16_t Checksum(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (length % 2) sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<std::uint16_t>(~sum));
}

// Every echo of the process has a number of its own: the node's and the
// game's are sent from two threads, and each raw socket sees every answer.
std::atomic<std::uint16_t> lastSequence{0};

}  // namespace

std::optional<std::chrono::microseconds> EchoOnce(const std::uint8_t (&to)[4], const std::function<bool(int socket)>& prepare,
                                                  std::chrono::milliseconds wait) {
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return std::nullopt;
  const icmp_filter onlyReplies{~(1u << ICMP_ECHOREPLY)};  // the kernel drops the rest before it wakes us
  setsockopt(fd, SOL_RAW, ICMP_FILTER, &onlyReplies, sizeof onlyReplies);
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  std::memcpy(&destination.sin_addr, to, 4);
  icmphdr request{};
  request.type = ICMP_ECHO;
  request.un.echo.id = htons(static_cast<std::uint16_t>(getpid()));
  request.un.echo.sequence = htons(++lastSequence);
  request.checksum = Checksum(reinterpret_cast<const std::uint8_t*>(&request), sizeof request);
  const auto sent = std::chrono::steady_clock::now();
  const auto deadline = sent + wait;
  std::optional<std::chrono::microseconds> roundTrip;
  if (prepare(fd) &&
      sendto(fd, &request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) > 0) {
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
          reply.un.echo.sequence == request.un.echo.sequence && std::memcmp(packet + 12, to, 4) == 0) {
        roundTrip = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent);
      }
    }
  }
  close(fd);
  return roundTrip;
}

}  // namespace zv

// inet_pton, inet_ntop and the socket addresses are the same on both platforms; only their headers differ.
#include "address_text.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <cstring>

namespace zv {

// inet_pton reads to the first NUL, so a text holding one would pass on its first part.
bool ParseIpv4Text(const std::string& text, std::uint8_t (&address)[4]) {
  return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), address) == 1;
}

bool ParseIpv6Text(const std::string& text, std::uint8_t (&address)[16]) {
  return text.find('\0') == std::string::npos && inet_pton(AF_INET6, text.c_str(), address) == 1;
}

std::string Ipv4Text(const std::uint8_t* address) {
  char text[INET_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET, address, text, sizeof text) != nullptr ? text : "";
}

std::string Ipv6Text(const std::uint8_t* address) {
  char text[INET6_ADDRSTRLEN] = {};
  return inet_ntop(AF_INET6, address, text, sizeof text) != nullptr ? text : "";
}

bool FromSocketAddress(const sockaddr* from, IpAddress& address) {
  address = IpAddress{};
  if (from->sa_family == AF_INET) {
    const auto* inet = reinterpret_cast<const sockaddr_in*>(from);
    address.port = ntohs(inet->sin_port);
    std::memcpy(address.Bytes(), &inet->sin_addr, 4);
    return true;
  }
  if (from->sa_family != AF_INET6) return false;
  const auto* inet6 = reinterpret_cast<const sockaddr_in6*>(from);
  address.family = IpFamily::V6;
  address.port = ntohs(inet6->sin6_port);
  std::memcpy(address.Bytes(), &inet6->sin6_addr, 16);
  return true;
}

}  // namespace zv

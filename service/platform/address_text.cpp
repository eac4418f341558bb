// inet_pton and inet_ntop are the same calls on both platforms; only its header differs.
#include "address_text.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

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

}  // namespace zv

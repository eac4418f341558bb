// The platform's address texts (inet_pton, inet_ntop), for the tunnel engine's
// prefixes, and the platform's socket addresses read into ours.
#pragma once

#include <cstdint>
#include <string>

#include "net_types.h"

struct sockaddr;

namespace zv {

bool ParseIpv4Text(const std::string& text, std::uint8_t (&address)[4]);
bool ParseIpv6Text(const std::string& text, std::uint8_t (&address)[16]);

// Four and sixteen bytes in network order.
std::string Ipv4Text(const std::uint8_t* address);
std::string Ipv6Text(const std::uint8_t* address);

// An IPv4 or IPv6 socket address with its port (a resolver's answer); false for any other family.
bool FromSocketAddress(const sockaddr* from, IpAddress& address);

}  // namespace zv

// The platform's address texts (inet_pton, inet_ntop), for the tunnel engine's prefixes.
#pragma once

#include <cstdint>
#include <string>

namespace zv {

bool ParseIpv4Text(const std::string& text, std::uint8_t (&address)[4]);
bool ParseIpv6Text(const std::string& text, std::uint8_t (&address)[16]);

// Four and sixteen bytes in network order.
std::string Ipv4Text(const std::uint8_t* address);
std::string Ipv6Text(const std::uint8_t* address);

}  // namespace zv

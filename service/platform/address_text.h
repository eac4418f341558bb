// The platform's address text parser (inet_pton), for the tunnel engine's prefixes.
#pragma once

#include <cstdint>
#include <string>

namespace zv {

bool ParseIpv4Text(const std::string& text, std::uint8_t (&address)[4]);
bool ParseIpv6Text(const std::string& text, std::uint8_t (&address)[16]);

}  // namespace zv

// What the system itself reads of a start request: Base64 keys
// (CryptStringToBinaryA on Windows) and endpoint names (GetAddrInfoW;
// getaddrinfo on Linux); and the system's Unicode case tables, for the game's names.
#pragma once

#include <string>
#include <string_view>

#include "net_types.h"
#include "secret.h"

namespace zv {

// Base64 of exactly 32 bytes, into `key` (32 bytes).
bool DecodeKey(std::string_view text, std::uint8_t* key);
// The first UDP address that host and port (UTF-8) name, with its port.
bool ResolveUdpAddress(const std::string& host, const std::string& port, IpAddress& address);
// A character's simple lowercase mapping (Unicode's, as the system's tables hold it).
char32_t LowerCase(char32_t character);

}  // namespace zv

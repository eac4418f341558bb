// The two texts of a start request the system itself reads: Base64 keys
// (CryptStringToBinaryA on Windows) and endpoint names (GetAddrInfoW;
// getaddrinfo on Linux).
#pragma once

#include <string>
#include <string_view>

#include "net_types.h"
#include "secret.h"

namespace zv {

// Base64 of exactly 32 bytes, into `key` (32 bytes).
bool DecodeKey(std::string_view text, std::uint8_t* key);
// The first UDP address that host and port (UTF-8) name.
bool ResolveUdpAddress(const std::string& host, const std::string& port, SocketAddressInet& address);

}  // namespace zv

// Address prefixes as WireGuardNT's allowed-IP entry lays them out, and the
// peer and route lists the bring-up derives from the request's "allowed_ips".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// Windows' address family numbers: the entry crosses into WireGuardNT as is.
inline constexpr std::uint16_t kFamilyIpv4 = 2;
inline constexpr std::uint16_t kFamilyIpv6 = 23;

struct alignas(8) AllowedIp {
  std::uint8_t address[16];  // IPv4: 4 bytes in network order, then zeros
  std::uint16_t addressFamily;
  std::uint8_t cidr;
};
static_assert(sizeof(AllowedIp) == 24);
static_assert(offsetof(AllowedIp, addressFamily) == 16);
static_assert(offsetof(AllowedIp, cidr) == 18);

// Reads a decimal like strtol: leading white space, optional sign, digits, and
// anything after them ignored. Nothing without digits or beyond 32 bits.
std::optional<std::int32_t> ReadDecimal(std::string_view text);

// "address/length"; the address is kept as given, not masked to the prefix.
bool ParsePrefix(std::string_view text, AllowedIp& entry);

struct TunnelLists {
  std::vector<AllowedIp> peer;    // the peer's allowed networks
  std::vector<AllowedIp> routes;  // one tunnel route each
};

// False when any element does not parse, even one that split routing drops.
bool BuildTunnelLists(bool splitRouting, const std::vector<std::string>& allowedIps, TunnelLists& lists);

}  // namespace zv

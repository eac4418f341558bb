// Address prefixes as allowed-IP entries, and the peer and route lists the
// bring-up derives from the request's "allowed_ips".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net_types.h"

namespace zv {

// Reads a decimal like strtol: leading white space, optional sign, digits, and
// anything after them ignored. Nothing without digits or beyond 32 bits.
std::optional<std::int32_t> ReadDecimal(std::string_view text);

// Digits only (no sign, no space, no leading zero, nothing after them), at most `limit`.
std::optional<std::uint32_t> ReadPlainDecimal(std::string_view text, std::uint32_t limit);

// "address/length"; the address is kept as given, not masked to the prefix.
bool ParsePrefix(std::string_view text, IpPrefix& entry);

struct TunnelLists {
  std::vector<IpPrefix> peer;    // the peer's allowed networks
  std::vector<IpPrefix> routes;  // one tunnel route each
};

// False when any element does not parse, even one that split routing drops.
bool BuildTunnelLists(bool splitRouting, const std::vector<std::string>& allowedIps, TunnelLists& lists);

}  // namespace zv

// The network values the engine and every platform share. They are laid out
// like Windows' own (SOCKADDR_INET, WIREGUARD_ALLOWED_IP), which lets the
// Windows implementations hand them over as they are; Linux reads the fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zv {

// Windows' address family numbers, which every address and entry carries.
inline constexpr std::uint16_t kFamilyIpv4 = 2;
inline constexpr std::uint16_t kFamilyIpv6 = 23;

// Family, port in network order, then IPv4: the address; IPv6: flow info, the address, the scope id.
struct alignas(4) SocketAddressInet {
  std::uint16_t family;
  std::uint16_t port;
  std::uint8_t rest[24];

  const std::uint8_t* Bytes() const { return family == kFamilyIpv6 ? rest + 4 : rest; }
  std::uint8_t* Bytes() { return family == kFamilyIpv6 ? rest + 4 : rest; }
  std::size_t Length() const { return family == kFamilyIpv6 ? 16 : 4; }
  std::uint8_t HostPrefix() const { return static_cast<std::uint8_t>(Length() * 8); }
  friend bool operator==(const SocketAddressInet&, const SocketAddressInet&) = default;
};
static_assert(sizeof(SocketAddressInet) == 28);

// One network of a peer's allowed list.
struct alignas(8) AllowedIp {
  std::uint8_t address[16];  // IPv4: 4 bytes in network order, then zeros
  std::uint16_t addressFamily;
  std::uint8_t cidr;
};
static_assert(sizeof(AllowedIp) == 24);
static_assert(offsetof(AllowedIp, addressFamily) == 16);
static_assert(offsetof(AllowedIp, cidr) == 18);

using WireGuardKey = std::array<std::uint8_t, 32>;

struct Ipv4Range {
  std::uint8_t network[4];
  std::uint8_t prefixLength;
};

// The acceleration node's own address inside every tunnel: both peer lists end
// with it, and the path's quality is measured by echoes to it.
inline constexpr std::uint8_t kNodeTunnelAddress[4] = {10, 240, 0, 1};
inline constexpr char kNodeTunnelAddressText[] = "10.240.0.1";

// The result a platform gives for an object that exists already; the engine
// takes it as success where it adds addresses and routes.
inline constexpr std::uint32_t kErrorObjectAlreadyExists = 5010;

// The tunnel adapter's name, the same on every platform.
inline constexpr char16_t kAdapterName[] = u"ZENTRAVOLK";
inline constexpr char kAdapterNameUtf8[] = "ZENTRAVOLK";

}  // namespace zv

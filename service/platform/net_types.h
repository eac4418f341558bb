// The network values the engine and every platform share, in no platform's
// layout: each platform translates them where they cross into its own calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zv {

enum class IpFamily : std::uint8_t { V4, V6 };

// An IPv4 or IPv6 address, and a port in host order where one belongs (0: none).
struct IpAddress {
  IpFamily family = IpFamily::V4;
  std::array<std::uint8_t, 16> bytes{};  // network order; IPv4 in the first four, the rest zero
  std::uint16_t port = 0;

  static IpAddress V4(const std::uint8_t (&octets)[4], std::uint16_t port = 0) {
    IpAddress address{IpFamily::V4, {}, port};
    for (std::size_t i = 0; i < 4; ++i) address.bytes[i] = octets[i];
    return address;
  }
  const std::uint8_t* Bytes() const { return bytes.data(); }
  std::uint8_t* Bytes() { return bytes.data(); }
  std::size_t Length() const { return family == IpFamily::V6 ? 16 : 4; }
  std::uint8_t HostPrefix() const { return static_cast<std::uint8_t>(Length() * 8); }
  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

// A network as a request writes it: the address kept as given, not masked to its length.
struct IpPrefix {
  IpAddress address;
  std::uint8_t length = 0;
  friend bool operator==(const IpPrefix&, const IpPrefix&) = default;
};

// Where a tunnel leads: what the acceleration's gain is measured against.
struct TunnelEnds {
  IpAddress endpoint;    // the node's public endpoint, resolved, with its port
  IpAddress ownAddress;  // this machine's address inside the tunnel
  bool splitRouting = false;
  friend bool operator==(const TunnelEnds&, const TunnelEnds&) = default;
};

using WireGuardKey = std::array<std::uint8_t, 32>;

struct Ipv4Range {
  std::uint8_t network[4];
  std::uint8_t prefixLength;
};

// The acceleration node's own address inside every tunnel: both peer lists end
// with it, and the path's quality is measured by echoes to it.
inline constexpr std::uint8_t kNodeTunnelAddress[4] = {10, 240, 0, 1};
inline constexpr char kNodeTunnelAddressText[] = "10.240.0.1";

// The tunnel adapter's name, the same on every platform.
inline constexpr char kAdapterName[] = "ZENTRAVOLK";

}  // namespace zv

// X25519 as RFC 7748 defines it (section 5), with no platform cryptography: the
// reference the kit holds the key tool's pairs against.
#pragma once

#include <array>
#include <cstdint>

namespace zv::kit {

using Bytes32 = std::array<std::uint8_t, 32>;
inline constexpr Bytes32 kBasePoint = {9};

// The u-coordinate of `scalar` (clamped here) times the point `u` (its top bit ignored).
Bytes32 X25519(const Bytes32& scalar, const Bytes32& u);

}  // namespace zv::kit

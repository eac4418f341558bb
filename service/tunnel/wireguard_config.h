// The configuration block the bring-up hands WireGuardNT: one interface, one
// peer, then the peer's allowed IPs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "allowed_ip.h"
#include "tunnel_platform.h"

namespace zv {

inline constexpr std::uint16_t kPersistentKeepaliveSeconds = 25;

// One zero-filled block of 216 + 24 n bytes: our private key, replacing every
// earlier peer with this one, keepalive 25 s, replacing its allowed networks.
std::vector<std::uint8_t> ComposeConfigurationBlock(const WireGuardKey& privateKey,
                                                    const WireGuardKey& serverPublicKey,
                                                    const SocketAddressInet& endpoint,
                                                    const std::vector<AllowedIp>& allowedNetworks);

// Decodes both keys and resolves the endpoint, in that order, then composes the
// block; on failure `error` names the first text that was refused. The resolved
// endpoint comes back too: its host route is pinned next.
bool BuildWireGuardConfiguration(TunnelPlatform& platform, const std::string& privateKeyText,
                                 const std::string& serverPublicKeyText, const std::string& endpointText,
                                 const std::vector<AllowedIp>& allowedNetworks, SocketAddressInet& endpoint,
                                 std::vector<std::uint8_t>& block, std::string& error);

}  // namespace zv

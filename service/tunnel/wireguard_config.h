// The configuration block WireGuardNT takes, declared from its published
// layout (64-bit Windows): one interface, one peer, then the peer's allowed IPs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "allowed_ip.h"
#include "tunnel_platform.h"

namespace zv {

inline constexpr std::uint32_t kInterfaceHasPrivateKey = 2;
inline constexpr std::uint32_t kInterfaceReplacePeers = 8;
inline constexpr std::uint32_t kPeerHasPublicKey = 1;
inline constexpr std::uint32_t kPeerHasPersistentKeepalive = 4;
inline constexpr std::uint32_t kPeerHasEndpoint = 8;
inline constexpr std::uint32_t kPeerReplaceAllowedIps = 32;
inline constexpr std::uint16_t kPersistentKeepaliveSeconds = 25;

struct alignas(8) WireGuardInterface {
  std::uint32_t flags;
  std::uint16_t listenPort;
  std::uint8_t privateKey[32];
  std::uint8_t publicKey[32];
  std::uint32_t peersCount;
};
static_assert(sizeof(WireGuardInterface) == 80);
static_assert(offsetof(WireGuardInterface, listenPort) == 4);
static_assert(offsetof(WireGuardInterface, privateKey) == 6);
static_assert(offsetof(WireGuardInterface, publicKey) == 38);
static_assert(offsetof(WireGuardInterface, peersCount) == 72);

struct alignas(8) WireGuardPeer {
  std::uint32_t flags;
  std::uint32_t reserved;
  std::uint8_t publicKey[32];
  std::uint8_t presharedKey[32];
  std::uint16_t persistentKeepalive;
  SocketAddressInet endpoint;
  std::uint64_t txBytes;
  std::uint64_t rxBytes;
  std::uint64_t lastHandshake;
  std::uint32_t allowedIpsCount;
};
static_assert(sizeof(WireGuardPeer) == 136);
static_assert(offsetof(WireGuardPeer, publicKey) == 8);
static_assert(offsetof(WireGuardPeer, persistentKeepalive) == 72);
static_assert(offsetof(WireGuardPeer, endpoint) == 76);
static_assert(offsetof(WireGuardPeer, allowedIpsCount) == 128);

inline constexpr std::size_t kConfigurationHeadSize = sizeof(WireGuardInterface) + sizeof(WireGuardPeer);

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

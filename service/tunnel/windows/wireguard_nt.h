// WireGuardNT's published interface as the service uses it, declared from its
// documented layout (64-bit Windows): the five functions (and the one that
// reads the configuration back, for the peer's counters), and the
// configuration block of one interface, its peers and their allowed IPs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nt_calls.h"

#ifdef _WIN32
#define ZV_WINAPI __stdcall
#else
#define ZV_WINAPI
#endif

namespace zv {

using WireGuardAdapterHandle = void*;
// The adapter's name and tunnel type, as the library takes them.
inline constexpr char16_t kWideAdapterName[] = u"ZENTRAVOLK";
inline constexpr std::int32_t kAdapterStateDown = 0;
inline constexpr std::int32_t kAdapterStateUp = 1;

// LPCWSTR is UTF-16, NET_LUID a 64-bit value, BOOL 32 bits.
using CreateAdapterFunction = WireGuardAdapterHandle(ZV_WINAPI*)(const char16_t* name, const char16_t* tunnelType,
                                                                 const void* requestedGuid);
using CloseAdapterFunction = void(ZV_WINAPI*)(WireGuardAdapterHandle adapter);
using GetAdapterLuidFunction = void(ZV_WINAPI*)(WireGuardAdapterHandle adapter, std::uint64_t* luid);
using SetConfigurationFunction = std::int32_t(ZV_WINAPI*)(WireGuardAdapterHandle adapter, const void* configuration,
                                                          std::uint32_t bytes);
using SetAdapterStateFunction = std::int32_t(ZV_WINAPI*)(WireGuardAdapterHandle adapter, std::int32_t state);
// `bytes` holds the buffer's size and receives the block's.
using GetConfigurationFunction = std::int32_t(ZV_WINAPI*)(WireGuardAdapterHandle adapter, void* configuration,
                                                          std::uint32_t* bytes);

inline constexpr std::uint32_t kInterfaceHasPrivateKey = 2;
inline constexpr std::uint32_t kInterfaceHasListenPort = 4;
inline constexpr std::uint32_t kInterfaceReplacePeers = 8;
inline constexpr std::uint32_t kPeerHasPublicKey = 1;
inline constexpr std::uint32_t kPeerHasPresharedKey = 2;
inline constexpr std::uint32_t kPeerHasPersistentKeepalive = 4;
inline constexpr std::uint32_t kPeerHasEndpoint = 8;
inline constexpr std::uint32_t kPeerReplaceAllowedIps = 32;

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
  SockaddrInet endpoint;
  std::uint64_t txBytes;
  std::uint64_t rxBytes;
  std::uint64_t lastHandshake;
  std::uint32_t allowedIpsCount;
};
static_assert(sizeof(WireGuardPeer) == 136);
static_assert(offsetof(WireGuardPeer, publicKey) == 8);
static_assert(offsetof(WireGuardPeer, persistentKeepalive) == 72);
static_assert(offsetof(WireGuardPeer, endpoint) == 76);
static_assert(offsetof(WireGuardPeer, rxBytes) == 112);
static_assert(offsetof(WireGuardPeer, lastHandshake) == 120);
static_assert(offsetof(WireGuardPeer, allowedIpsCount) == 128);

// WIREGUARD_ALLOWED_IP: an IPv4 address's 4 bytes, then zeros, or an IPv6
// address's 16; the family (AF_INET or AF_INET6); the prefix length.
struct alignas(8) WireGuardAllowedIp {
  std::uint8_t address[16];
  std::uint16_t addressFamily;
  std::uint8_t cidr;
};
static_assert(sizeof(WireGuardAllowedIp) == 24);
static_assert(offsetof(WireGuardAllowedIp, addressFamily) == 16);
static_assert(offsetof(WireGuardAllowedIp, cidr) == 18);

inline constexpr std::size_t kConfigurationHeadSize = sizeof(WireGuardInterface) + sizeof(WireGuardPeer);

}  // namespace zv

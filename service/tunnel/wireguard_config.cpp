#include "wireguard_config.h"

#include <cstring>

namespace zv {

std::vector<std::uint8_t> ComposeConfigurationBlock(const WireGuardKey& privateKey,
                                                    const WireGuardKey& serverPublicKey,
                                                    const SocketAddressInet& endpoint,
                                                    const std::vector<AllowedIp>& allowedNetworks) {
  WireGuardInterface head{};
  head.flags = kInterfaceHasPrivateKey | kInterfaceReplacePeers;
  std::memcpy(head.privateKey, privateKey.data(), privateKey.size());
  head.peersCount = 1;

  WireGuardPeer peer{};
  peer.flags = kPeerHasPublicKey | kPeerHasPersistentKeepalive | kPeerHasEndpoint | kPeerReplaceAllowedIps;
  std::memcpy(peer.publicKey, serverPublicKey.data(), serverPublicKey.size());
  peer.persistentKeepalive = kPersistentKeepaliveSeconds;
  peer.endpoint = endpoint;
  peer.allowedIpsCount = static_cast<std::uint32_t>(allowedNetworks.size());

  std::vector<std::uint8_t> block(kConfigurationHeadSize + sizeof(AllowedIp) * allowedNetworks.size(), 0);
  std::memcpy(block.data(), &head, sizeof head);
  std::memcpy(block.data() + sizeof head, &peer, sizeof peer);
  if (!allowedNetworks.empty()) {
    std::memcpy(block.data() + kConfigurationHeadSize, allowedNetworks.data(),
                sizeof(AllowedIp) * allowedNetworks.size());
  }
  return block;
}

}  // namespace zv

#include "wireguard_config.h"

#include <cstring>

#include "endpoint.h"

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

bool BuildWireGuardConfiguration(TunnelPlatform& platform, const std::string& privateKeyText,
                                 const std::string& serverPublicKeyText, const std::string& endpointText,
                                 const std::vector<AllowedIp>& allowedNetworks, SocketAddressInet& endpoint,
                                 std::vector<std::uint8_t>& block, std::string& error) {
  WireGuardKey privateKey{}, serverPublicKey{};
  const char* refused = nullptr;
  if (!platform.DecodeKey(privateKeyText, privateKey)) {
    refused = "invalid_private_key";
  } else if (!platform.DecodeKey(serverPublicKeyText, serverPublicKey)) {
    refused = "invalid_server_public_key";
  } else if (!ResolveEndpoint(platform, endpointText, endpoint)) {
    refused = "invalid_endpoint";
  } else {
    block = ComposeConfigurationBlock(privateKey, serverPublicKey, endpoint, allowedNetworks);
  }
  privateKey.fill(0);  // the key lives on only inside the block
  if (refused) error = refused;
  return refused == nullptr;
}

}  // namespace zv

#include "peer_settings.h"

#include "endpoint.h"
#include "system_lookups.h"

namespace zv {

bool BuildPeerSettings(const TunnelRequest& request, std::vector<IpPrefix> peerNetworks, PeerSettings& settings,
                       std::string& error) {
  settings.privateKey = Secret::Sized(32);
  if (!DecodeKey(request.privateKey.View(), settings.privateKey.data())) {
    error = "invalid_private_key";
  } else if (!DecodeKey(request.serverPublicKey, settings.peerPublicKey.data())) {
    error = "invalid_server_public_key";
  } else if (!ResolveEndpoint(request.endpoint, settings.endpoint)) {
    error = "invalid_endpoint";
  } else {
    settings.allowedNetworks = std::move(peerNetworks);
    settings.keepaliveSeconds = kPersistentKeepaliveSeconds;
    return true;
  }
  return false;
}

}  // namespace zv

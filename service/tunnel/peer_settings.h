// The adapter's configuration from a start request: both keys decoded and
// the endpoint resolved, in that order, with the peer's allowed networks.
#pragma once

#include <string>
#include <vector>

#include "tunnel_device.h"
#include "tunnel_request.h"

namespace zv {

inline constexpr std::uint16_t kPersistentKeepaliveSeconds = 25;

// On failure `error` names the first text that was refused.
bool BuildPeerSettings(const TunnelRequest& request, std::vector<IpPrefix> peerNetworks, PeerSettings& settings,
                       std::string& error);

}  // namespace zv

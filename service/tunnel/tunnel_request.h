// A tunnel start request as the engine keeps it: the seven members read from
// the text, checked for what can be checked before anything is made. A held
// acceleration keeps it, private key included, to build the tunnel again.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "secret.h"

namespace zv {

struct TunnelRequest {
  Secret privateKey;  // the Base64 text
  std::string assignedIp, serverPublicKey, endpoint;
  bool splitRouting = false;  // "route_mode" is exactly "process-beta"
  std::vector<std::string> allowedIps, gameProcesses;
};

// The members in their order. False with "invalid_tunnel_config" when a
// required one is empty, or when any value holds a control character (the
// system's text calls would cut it short there); the texts themselves are
// judged once the adapter exists.
bool ReadTunnelRequest(std::string_view body, TunnelRequest& request, std::string& error);

}  // namespace zv

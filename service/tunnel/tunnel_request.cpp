#include "tunnel_request.h"

#include <algorithm>

#include "request_fields.h"

namespace zv {

bool ReadTunnelRequest(std::string_view body, TunnelRequest& request, std::string& error) {
  request.privateKey = Secret(ReadStringField(body, "private_key"));
  request.assignedIp = ReadStringField(body, "assigned_ip");
  request.serverPublicKey = ReadStringField(body, "server_public_key");
  request.endpoint = ReadStringField(body, "endpoint");
  const std::string_view routeMode = ReadStringField(body, "route_mode");
  request.splitRouting = routeMode == "process-beta";
  request.allowedIps = ReadStringArrayField(body, "allowed_ips");
  request.gameProcesses = ReadStringArrayField(body, "game_processes");

  const auto tainted = [](const std::vector<std::string>& values) {
    return std::any_of(values.begin(), values.end(), HoldsControlCharacter);
  };
  const bool complete = !request.privateKey.empty() && !request.assignedIp.empty() &&
                        !request.serverPublicKey.empty() && !request.endpoint.empty() && !request.allowedIps.empty();
  if (!complete || HoldsControlCharacter(request.privateKey.View()) || HoldsControlCharacter(routeMode) ||
      tainted({request.assignedIp, request.serverPublicKey, request.endpoint}) || tainted(request.allowedIps) ||
      tainted(request.gameProcesses)) {
    error = "invalid_tunnel_config";
    return false;
  }
  return true;
}

}  // namespace zv

#include "tunnel_routes.h"

#include <algorithm>
#include <cstring>

#include "address_text.h"
#include "allowed_ip.h"
#include "numbered_code.h"

namespace zv {
namespace {

// An address an interface may carry: not this network, loopback, multicast or above.
bool Unicast(const std::uint8_t (&address)[4]) { return address[0] != 0 && address[0] != 127 && address[0] < 224; }

constexpr std::uint32_t kShortestAssigned = 8;

}  // namespace

IpAddress NetworkOf(const IpAddress& address, std::uint8_t prefixLength) {
  IpAddress network{};
  network.family = address.family;
  for (std::size_t i = 0; i < address.Length(); ++i) {
    const int kept = std::clamp(static_cast<int>(prefixLength) - static_cast<int>(8 * i), 0, 8);
    network.Bytes()[i] = static_cast<std::uint8_t>(address.Bytes()[i] & (0xFF00 >> kept));
  }
  return network;
}

Route TunnelRoute(std::uint64_t interfaceId, const IpAddress& destination, std::uint8_t prefixLength) {
  Route route;
  route.interfaceId = interfaceId;
  route.destination = NetworkOf(destination, prefixLength);
  route.prefixLength = prefixLength;
  route.nextHop.family = destination.family;
  route.table = RouteTableId::Tunnel;
  return route;
}

Route HostRoute(const IpAddress& host, const Route& via) {
  Route route;
  route.interfaceId = via.interfaceId;
  route.destination = NetworkOf(host, host.HostPrefix());
  route.prefixLength = host.HostPrefix();
  route.nextHop = via.nextHop;
  route.table = RouteTableId::Main;
  return route;
}

bool AddEndpointRoute(RouteTable& table, const IpAddress& endpoint, std::optional<Route>& owned,
                      const NoteOwnedRoute& note, std::string& error) {
  owned.reset();
  Route path;
  if (const auto result = table.BestPath(endpoint, path); result != 0) {
    return FailWithNumber(error, "resolve_endpoint_route_failed_", result);
  }
  const Route route = HostRoute(endpoint, path);
  note(route);
  const AddResult result = table.Add(route);
  if (result.outcome == AddResult::Outcome::Added) owned = route;
  else note(std::nullopt);  // there already, or not made
  return result.Succeeded() || FailWithNumber(error, "create_endpoint_route_failed_", result.code);
}

std::optional<IpPrefix> ReadAssignedAddress(const std::string& assignedIp) {
  const std::size_t slash = assignedIp.find('/');
  std::uint8_t octets[4];
  const auto length = slash == std::string::npos ? std::nullopt : ReadPlainDecimal(assignedIp.substr(slash + 1), 32);
  if (!length || *length < kShortestAssigned || !ParseIpv4Text(assignedIp.substr(0, slash), octets) ||
      !Unicast(octets)) {
    return std::nullopt;
  }
  const IpAddress address = IpAddress::V4(octets);
  if (*length < 31) {
    const std::uint32_t host = std::uint32_t{octets[0]} << 24 | octets[1] << 16 | octets[2] << 8 | octets[3];
    const std::uint32_t hostBits = ~std::uint32_t{0} >> *length;
    if ((host & hostBits) == 0 || (host & hostBits) == hostBits) return std::nullopt;
  }
  return IpPrefix{address, static_cast<std::uint8_t>(*length)};
}

bool ConfigureAddressAndRoutes(RouteTable& table, std::uint64_t interfaceId, const std::string& assignedIp,
                               const std::vector<IpPrefix>& routeList, std::string& error) {
  const std::optional<IpPrefix> own = ReadAssignedAddress(assignedIp);
  if (!own) {
    error = "invalid_assigned_address";
    return false;
  }
  if (const AddResult result = table.AddAddress(interfaceId, own->address, own->length); !result.Succeeded()) {
    return FailWithNumber(error, "configure_address_failed_", result.code);
  }
  if (const auto result = table.UseTunnelTable(); result != 0) {
    return FailWithNumber(error, "configure_route_failed_", result);
  }
  for (const IpPrefix& entry : routeList) {
    const AddResult result = table.Add(TunnelRoute(interfaceId, entry.address, entry.length));
    if (!result.Succeeded()) return FailWithNumber(error, "configure_route_failed_", result.code);
  }
  return true;
}

}  // namespace zv

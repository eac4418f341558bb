#include "tunnel_routes.h"

#include <algorithm>
#include <cstring>

#include "address_text.h"
#include "allowed_ip.h"
#include "numbered_code.h"

namespace zv {
namespace {

bool Succeeded(std::uint32_t result) { return result == 0 || result == kErrorObjectAlreadyExists; }

// An address an interface may carry: not this network, loopback, multicast or above.
bool Unicast(const std::uint8_t (&address)[4]) { return address[0] != 0 && address[0] != 127 && address[0] < 224; }

}  // namespace

SocketAddressInet NetworkOf(const SocketAddressInet& address, std::uint8_t prefixLength) {
  SocketAddressInet network{};
  network.family = address.family;
  for (std::size_t i = 0; i < address.Length(); ++i) {
    const int kept = std::clamp(static_cast<int>(prefixLength) - static_cast<int>(8 * i), 0, 8);
    network.Bytes()[i] = static_cast<std::uint8_t>(address.Bytes()[i] & (0xFF00 >> kept));
  }
  return network;
}

SocketAddressInet AddressOf(const AllowedIp& entry) {
  SocketAddressInet address{};
  address.family = entry.addressFamily;
  std::memcpy(address.Bytes(), entry.address, address.Length());
  return address;
}

Route TunnelRoute(std::uint64_t interfaceId, const SocketAddressInet& destination, std::uint8_t prefixLength) {
  Route route;
  route.interfaceId = interfaceId;
  route.destination = NetworkOf(destination, prefixLength);
  route.prefixLength = prefixLength;
  route.nextHop.family = destination.family;
  route.table = RouteTableId::Tunnel;
  return route;
}

Route HostRoute(const SocketAddressInet& host, const Route& via) {
  Route route;
  route.interfaceId = via.interfaceId;
  route.destination = NetworkOf(host, host.HostPrefix());
  route.prefixLength = host.HostPrefix();
  route.nextHop = via.nextHop;
  route.table = RouteTableId::Main;
  return route;
}

bool AddEndpointRoute(RouteTable& table, const SocketAddressInet& endpoint, std::optional<Route>& owned,
                      const NoteOwnedRoute& note, std::string& error) {
  owned.reset();
  Route path;
  if (const auto result = table.BestPath(endpoint, path); result != 0) {
    return FailWithNumber(error, "resolve_endpoint_route_failed_", result);
  }
  const Route route = HostRoute(endpoint, path);
  note(route);
  const auto result = table.Add(route);
  if (result == 0) owned = route;
  else note(std::nullopt);  // there already, or not made
  return Succeeded(result) || FailWithNumber(error, "create_endpoint_route_failed_", result);
}

bool ConfigureAddressAndRoutes(RouteTable& table, std::uint64_t interfaceId, const std::string& assignedIp,
                               const std::vector<AllowedIp>& routeList, std::string& error) {
  const std::size_t slash = assignedIp.find('/');
  std::uint8_t address[4];
  // Plain digits from 1 to 32, on a unicast address: a length the system would
  // cut to its low 8 bits is refused, and a /0 would make every destination
  // on-link through the tunnel.
  const auto length = slash == std::string::npos ? std::nullopt : ReadPlainDecimal(assignedIp.substr(slash + 1), 32);
  if (!length || *length == 0 || !ParseIpv4Text(assignedIp.substr(0, slash), address) || !Unicast(address)) {
    error = "invalid_assigned_address";
    return false;
  }
  SocketAddressInet own{};
  own.family = kFamilyIpv4;
  std::memcpy(own.Bytes(), address, 4);
  if (const auto result = table.AddAddress(interfaceId, own, static_cast<std::uint8_t>(*length)); !Succeeded(result)) {
    return FailWithNumber(error, "configure_address_failed_", result);
  }
  if (const auto result = table.UseTunnelTable(); !Succeeded(result)) {
    return FailWithNumber(error, "configure_route_failed_", result);
  }
  for (const AllowedIp& entry : routeList) {
    const auto result = table.Add(TunnelRoute(interfaceId, AddressOf(entry), entry.cidr));
    if (!Succeeded(result)) return FailWithNumber(error, "configure_route_failed_", result);
  }
  return true;
}

}  // namespace zv

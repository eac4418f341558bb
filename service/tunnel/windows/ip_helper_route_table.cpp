#include "ip_helper_route_table.h"

#include <cstring>

namespace zv {
namespace {

std::uint16_t ByteSwapped(std::uint16_t value) { return static_cast<std::uint16_t>(value >> 8 | value << 8); }

AddResult Added(std::uint32_t result) {
  if (result == 0) return {};
  if (result == kErrorObjectAlreadyExists) return {AddResult::Outcome::WasThere};
  return AddResult::Failed(result);
}

}  // namespace

SockaddrInet ToSockaddrInet(const IpAddress& address) {
  SockaddrInet system{};
  system.family = address.family == IpFamily::V6 ? kAfInet6 : kAfInet;
  system.port = ByteSwapped(address.port);  // Windows is little-endian: network order is the bytes swapped
  std::memcpy(system.rest + (address.family == IpFamily::V6 ? 4 : 0), address.Bytes(), address.Length());
  return system;
}

IpAddress FromSockaddrInet(const SockaddrInet& system) {
  IpAddress address{};
  address.family = system.family == kAfInet6 ? IpFamily::V6 : IpFamily::V4;
  address.port = ByteSwapped(system.port);
  std::memcpy(address.Bytes(), system.rest + (address.family == IpFamily::V6 ? 4 : 0), address.Length());
  return address;
}

RouteRow RowOf(const Route& route) {
  RouteRow row;
  row.interfaceLuid = route.interfaceId;
  row.destination = ToSockaddrInet(route.destination);
  row.prefixLength = route.prefixLength;
  row.nextHop = ToSockaddrInet(route.nextHop);
  row.sitePrefixLength = route.prefixLength;
  row.protocol = kRouteProtocolNetmgmt;
  row.metric = 0;
  return row;
}

std::uint32_t IpHelperRouteTable::BestPath(const IpAddress& destination, Route& path) {
  RouteRow best;
  const std::uint32_t result = calls.GetBestRoute(ToSockaddrInet(destination), best);
  path = Route{};
  path.interfaceId = best.interfaceLuid;
  path.nextHop = FromSockaddrInet(best.nextHop);
  path.nextHop.family = destination.family;
  return result;
}

// A route through an interface without IPv6 (turned off on the machine or on
// the adapter) has nothing to carry: it is left out, as on Linux, rather than
// failing the start.
AddResult IpHelperRouteTable::Add(const Route& route) {
  const bool familyOff =
      tunnelWithoutIpv6 && route.interfaceId == tunnelInterface && route.destination.family == IpFamily::V6;
  return familyOff ? AddResult{} : Added(calls.CreateRoute(RowOf(route)));
}

// The tunnel's interface, as it gets its address, first has its metric fixed
// at 0 for both families: on its automatic metric its routes would lose to a
// LAN adapter set to metric 1, a common tweak, and the game would stay direct.
AddResult IpHelperRouteTable::AddAddress(std::uint64_t interfaceId, const IpAddress& address,
                                         std::uint8_t prefixLength) {
  tunnelInterface = interfaceId;
  if (const auto result = calls.SetInterfaceMetric(interfaceId, kAfInet, 0); result != 0) {
    return AddResult::Failed(result);
  }
  const auto ipv6 = calls.SetInterfaceMetric(interfaceId, kAfInet6, 0);
  tunnelWithoutIpv6 = ipv6 == kErrorNotFound || ipv6 == kErrorNotSupported;
  if (ipv6 != 0 && !tunnelWithoutIpv6) return AddResult::Failed(ipv6);
  AddressRow row;
  row.address = ToSockaddrInet(address);
  row.interfaceLuid = interfaceId;
  row.onLinkPrefixLength = prefixLength;
  row.dadState = kDadStatePreferred;
  return Added(calls.CreateAddress(row));
}

std::uint32_t IpHelperRouteTable::PathsTo(const IpAddress& destination, std::vector<RouteChoice>& routes) {
  std::vector<RouteRowChoice> rows;
  routes.clear();
  const std::uint32_t result = calls.RoutesTo(ToSockaddrInet(destination), rows);
  for (const RouteRowChoice& choice : rows) {
    Route route;
    route.interfaceId = choice.row.interfaceLuid;
    route.destination = FromSockaddrInet(choice.row.destination);
    route.destination.port = 0;
    route.prefixLength = choice.row.prefixLength;
    route.nextHop = FromSockaddrInet(choice.row.nextHop);
    route.nextHop.port = 0;
    routes.push_back({route, choice.metric, choice.usable});
  }
  return result;
}

}  // namespace zv

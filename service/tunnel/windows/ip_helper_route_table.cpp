#include "ip_helper_route_table.h"

namespace zv {

RouteRow RowOf(const Route& route) {
  RouteRow row;
  row.interfaceLuid = route.interfaceId;
  row.destination = route.destination;
  row.prefixLength = route.prefixLength;
  row.nextHop = route.nextHop;
  row.sitePrefixLength = route.prefixLength;
  row.protocol = kRouteProtocolNetmgmt;
  row.metric = 0;
  return row;
}

std::uint32_t IpHelperRouteTable::BestPath(const SocketAddressInet& destination, Route& path) {
  RouteRow best;
  const std::uint32_t result = calls.GetBestRoute(destination, best);
  path = Route{};
  path.interfaceId = best.interfaceLuid;
  path.nextHop = best.nextHop;
  return result;
}

// A route through an interface without IPv6 (turned off on the machine or on
// the adapter) has nothing to carry: it is left out, as on Linux, rather than
// failing the start.
std::uint32_t IpHelperRouteTable::Add(const Route& route) {
  const bool familyOff = tunnelWithoutIpv6 && route.interfaceId == tunnelInterface && route.destination.family == kFamilyIpv6;
  return familyOff ? 0 : calls.CreateRoute(RowOf(route));
}

// The tunnel's interface, as it gets its address, first has its metric fixed
// at 0 for both families: on its automatic metric its routes would lose to a
// LAN adapter set to metric 1, a common tweak, and the game would stay direct.
std::uint32_t IpHelperRouteTable::AddAddress(std::uint64_t interfaceId, const SocketAddressInet& address,
                                             std::uint8_t prefixLength) {
  tunnelInterface = interfaceId;
  if (const auto result = calls.SetInterfaceMetric(interfaceId, kFamilyIpv4, 0); result != 0) return result;
  const auto ipv6 = calls.SetInterfaceMetric(interfaceId, kFamilyIpv6, 0);
  tunnelWithoutIpv6 = ipv6 == kErrorNotFound || ipv6 == kErrorNotSupported;
  if (ipv6 != 0 && !tunnelWithoutIpv6) return ipv6;
  AddressRow row;
  row.address = address;
  row.interfaceLuid = interfaceId;
  row.onLinkPrefixLength = prefixLength;
  row.dadState = kDadStatePreferred;
  return calls.CreateAddress(row);
}

std::uint32_t IpHelperRouteTable::PathsTo(const SocketAddressInet& destination, std::vector<RouteChoice>& routes) {
  std::vector<RouteRowChoice> rows;
  routes.clear();
  const std::uint32_t result = calls.RoutesTo(destination, rows);
  for (const RouteRowChoice& choice : rows) {
    Route route;
    route.interfaceId = choice.row.interfaceLuid;
    route.destination = choice.row.destination;
    route.prefixLength = choice.row.prefixLength;
    route.nextHop = choice.row.nextHop;
    routes.push_back({route, choice.metric, choice.usable});
  }
  return result;
}

}  // namespace zv

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

std::uint32_t IpHelperRouteTable::AddAddress(std::uint64_t interfaceId, const SocketAddressInet& address,
                                             std::uint8_t prefixLength) {
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

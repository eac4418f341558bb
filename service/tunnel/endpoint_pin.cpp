#include "endpoint_pin.h"

#include <cstring>
#include <vector>

#include "tunnel_routes.h"

namespace zv {
namespace {

bool SameAddress(const SocketAddressInet& a, const SocketAddressInet& b) {
  return a.family == b.family && std::memcmp(a.rest, b.rest, sizeof a.rest) == 0;
}

bool SamePath(const RouteRow& a, const RouteRow& b) {
  return a.interfaceLuid == b.interfaceLuid && SameAddress(a.nextHop, b.nextHop);
}

bool SameRoute(const RouteRow& a, const RouteRow& b) {
  return SamePath(a, b) && a.prefixLength == b.prefixLength && SameAddress(a.destination, b.destination);
}

}  // namespace

void EndpointPin::Follow() {
  std::vector<RouteChoice> routes;
  if (platform.RoutesTo(endpoint, routes) != 0) return;
  const RouteChoice* best = nullptr;
  for (const RouteChoice& route : routes) {
    if (!route.usable || route.row.interfaceLuid == tunnelLuid) continue;
    if (owned && SameRoute(route.row, *owned)) continue;
    if (best == nullptr || route.row.prefixLength > best->row.prefixLength ||
        (route.row.prefixLength == best->row.prefixLength && route.metric < best->metric)) {
      best = &route;
    }
  }
  if (best == nullptr) return;  // no path now: the next news may bring one

  const std::uint8_t hostLength = endpoint.family == kFamilyIpv4 ? 32 : 128;
  const bool foreignPin = best->row.prefixLength == hostLength;
  if (owned && !foreignPin && SamePath(*owned, best->row)) return;
  if (!owned && foreignPin) return;
  if (owned) {
    platform.DeleteRoute(*owned);
    owned.reset();
    note(std::nullopt);
  }
  if (foreignPin) return;
  const RouteRow row = TunnelRoute(best->row.interfaceLuid, endpoint, hostLength, best->row.nextHop);
  note(row);
  if (platform.CreateRoute(row) == 0) owned = std::make_unique<RouteRow>(row);
  else note(std::nullopt);
}

}  // namespace zv

#include "endpoint_pin.h"

#include <vector>

namespace zv {
namespace {

bool SamePath(const Route& a, const Route& b) { return a.interfaceId == b.interfaceId && a.nextHop == b.nextHop; }

}  // namespace

bool EndpointPin::Follow() {
  std::vector<RouteChoice> routes;
  if (table.PathsTo(endpoint, routes) != 0) return true;  // a system that cannot list them keeps the pin
  const RouteChoice* best = nullptr;
  bool pinStands = false;
  for (const RouteChoice& choice : routes) {
    if (owned && choice.route == *owned) {
      pinStands = true;
      continue;
    }
    if (!choice.usable || choice.route.interfaceId == tunnelInterface) continue;
    if (best == nullptr || choice.route.prefixLength > best->route.prefixLength ||
        (choice.route.prefixLength == best->route.prefixLength && choice.metric < best->metric)) {
      best = &choice;
    }
  }
  // An interface that loses its address takes its routes, ours too, and comes
  // back on the same path: the pin is then made again, not taken as standing.
  if (owned && !pinStands) {
    owned.reset();
    note(std::nullopt);
  }
  if (best == nullptr) return false;  // no path now: the next news may bring one

  const bool foreignPin = best->route.prefixLength == endpoint.HostPrefix();
  if (owned && !foreignPin && SamePath(*owned, best->route)) return true;
  Remove();
  if (foreignPin) return true;
  const Route route = HostRoute(endpoint, best->route);
  note(route);
  if (table.Add(route).outcome == AddResult::Outcome::Added) owned = route;
  else note(std::nullopt);
  return true;
}

void EndpointPin::Remove() {
  if (!owned) return;
  table.Remove(*owned);
  owned.reset();
  note(std::nullopt);
}

}  // namespace zv

// The host route that keeps the tunnel's own packets to its endpoint on the
// physical path, kept on the best path that is not the tunnel while the
// network changes under a running tunnel.
#pragma once

#include <optional>

#include "route_table.h"
#include "tunnel_routes.h"

namespace zv {

class EndpointPin {
 public:
  // `owned` is the route the bring-up created, or nothing when the endpoint's
  // route was there already (it is used, never owned). `note` hears of every
  // change of what it owns, a route to be created before it is.
  EndpointPin(RouteTable& table, const IpAddress& endpoint, std::uint64_t tunnelInterface,
              std::optional<Route> owned, NoteOwnedRoute note)
      : table(table), endpoint(endpoint), tunnelInterface(tunnelInterface), owned(owned), note(std::move(note)) {}

  // On news of the network. When the best path that is neither the tunnel nor
  // our own pin differs from the pin's, the pin moves there (the old one is
  // removed first, as a system may hold only one route per destination). A
  // route to the endpoint that is not ours is the path itself: our pin goes.
  // False when there is no path at all: nothing changes until one comes.
  bool Follow();

  const std::optional<Route>& Owned() const { return owned; }
  // The owned route, taken away; after it the pin owns nothing.
  void Remove();

 private:
  RouteTable& table;
  IpAddress endpoint;
  std::uint64_t tunnelInterface;
  std::optional<Route> owned;
  NoteOwnedRoute note;
};

}  // namespace zv

// The tunnel interface's address and routes, and the host route that keeps
// the tunnel's own packets to its endpoint on the path that was best before.
// Every route the engine makes is a network (no bits past its prefix, no port),
// since a system refuses host bits in a route's destination.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "route_table.h"

namespace zv {

// The address with every bit past `prefixLength` cleared, and no port.
IpAddress NetworkOf(const IpAddress& address, std::uint8_t prefixLength);
// On-link through the tunnel's interface, in the tunnel's table.
Route TunnelRoute(std::uint64_t interfaceId, const IpAddress& destination, std::uint8_t prefixLength);
// To `host` alone, on the path `via` (its interface and next hop), in the main table.
Route HostRoute(const IpAddress& host, const Route& via);

// What the service is about to own, or owns no longer: told before a route is
// created, so that a service killed at any instant has it on record.
using NoteOwnedRoute = std::function<void(const std::optional<Route>& route)>;

// `owned` is set only when this call made the route; a route that existed
// already is used but never owned, so it is never removed by the service.
bool AddEndpointRoute(RouteTable& table, const IpAddress& endpoint, std::optional<Route>& owned,
                      const NoteOwnedRoute& note, std::string& error);

// The tunnel's own address: "a.b.c.d/n" with n from 8 to 32 (no leading zero),
// a host of its own network (neither that network's first address nor, below
// /31, its last), on a unicast address; nothing otherwise.
std::optional<IpPrefix> ReadAssignedAddress(const std::string& assignedIp);

// The address and routes belong to the interface and go with the adapter; a
// failure leaves the routes made before it for the adapter's closing to take.
bool ConfigureAddressAndRoutes(RouteTable& table, std::uint64_t interfaceId, const std::string& assignedIp,
                               const std::vector<IpPrefix>& routeList, std::string& error);

}  // namespace zv

// The tunnel interface's address and routes, and the host route that keeps
// the tunnel's own packets to its endpoint on the path that was best before.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "allowed_ip.h"
#include "tunnel_platform.h"

namespace zv {

inline constexpr std::uint32_t kRouteProtocolNetmgmt = 3;
inline constexpr std::uint32_t kDadStatePreferred = 4;

// Every route the engine adds: static, metric 0 (the interface metric decides),
// site prefix as long as the destination prefix.
RouteRow TunnelRoute(std::uint64_t interfaceLuid, const SocketAddressInet& destination, std::uint8_t prefixLength,
                     const SocketAddressInet& nextHop);
SocketAddressInet SocketAddressOf(const AllowedIp& entry);

// What the service is about to own, or owns no longer: told before a route is
// created, so that a service killed at any instant has it on record.
using NoteOwnedRoute = std::function<void(const std::optional<RouteRow>& route)>;

// `created` is set only when this call made the route; a route that existed
// already is used but never owned, so it is never deleted by the service.
bool AddEndpointRoute(TunnelPlatform& platform, const SocketAddressInet& endpoint, RouteRow& row, bool& created,
                      const NoteOwnedRoute& note, std::string& error);

// The address and routes belong to the interface and go with the adapter; a
// failure leaves the routes made before it for the adapter's closing to take.
bool ConfigureAddressAndRoutes(TunnelPlatform& platform, std::uint64_t luid, const std::string& assignedIp,
                               const std::vector<AllowedIp>& routeList, std::string& error);

}  // namespace zv

// Every Linux routing rule of the service in one place: which table a route
// goes into, the rules that put the tables to use, their priorities, the mark,
// the protocol tag every route of ours carries; routing_linux.cpp makes the
// route and rule messages from these alone.
//
// The effects: the tunnel's 0.0.0.0/0 captures traffic even when the host has
// a default route with metric 0; the host's more specific routes (its LAN)
// keep winning; the endpoint's /32 in main keeps the tunnel's own packets on
// the physical path without a mark; a route the host had is never taken for
// the tunnel's own, as they live in different tables.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "route_table.h"

namespace zv {

// Every route the service makes carries this protocol, and every deletion
// names it, so that an administrator's identical route is never taken away.
inline constexpr std::uint8_t kRouteProtocol = 90;
// What the split's kernel program marks the game's sockets with.
inline constexpr std::uint32_t kSplitMark = 0x5a56;

// The tunnel's routes; main without its default routes looks first (priority
// 31350, suppress_prefixlength 0), then this table (31351).
inline constexpr std::uint32_t kTunnelTable = 31350;
inline constexpr std::uint32_t kMainRulePriority = 31350;
inline constexpr std::uint32_t kTunnelRulePriority = 31351;
// Split routing: a marked packet looks in main without its /0 to /7 first
// (31339): the host's networks (its LAN, whatever its range) win for the game
// too, but no other VPN's catch-all (0.0.0.0/1 and the like) does. Then the
// split's table (31340): the default route through the tunnel, and "throw" for
// the destinations that stay direct (the lookup goes on to the rules after it).
inline constexpr std::uint32_t kSplitTable = 31352;
inline constexpr std::uint32_t kSplitLanPriority = 31339;
inline constexpr int kSplitLanSuppress = 7;
inline constexpr std::uint32_t kSplitRulePriority = 31340;
// The service's own probes of the direct path carry their own mark: it looks
// up main alone (31337), and where main has no path the lookup ends
// unreachable (31338) rather than going on into the tunnel. Made and removed
// with the tunnel's rules; IPv4, as the probes are.
inline constexpr std::uint32_t kDirectMark = 0x5a57;
inline constexpr std::uint32_t kDirectRulePriority = 31337;
inline constexpr std::uint32_t kDirectEndPriority = 31338;

class LinuxRouteTable final : public RouteTable {
 public:
  std::uint32_t BestPath(const IpAddress& destination, Route& path) override;
  std::uint32_t Remove(const Route& route) override;
  std::uint32_t PathsTo(const IpAddress& destination, std::vector<RouteChoice>& routes) override;
  AddResult Add(const Route& route) override;
  AddResult AddAddress(std::uint64_t interfaceId, const IpAddress& address, std::uint8_t prefixLength) override;
  // The two rules for IPv4 and IPv6 (a host without IPv6 needs no IPv6
  // rules), and the direct probes' two.
  std::uint32_t UseTunnelTable() override;
  void LeaveTunnelTable() override;
  bool TunnelTableInUse() override;

 private:
  std::size_t tunnelRoutes = 0;  // made in the tunnel table since it was put to use
};

// The split's table and its rule; 0 or the errno, with nothing left on failure.
int AddSplitRouting(unsigned tunnelIndex, std::span<const Ipv4Range> direct);
// Whatever of it is there, also what a killed service left.
void RemoveSplitRouting();
// Whether its rules still stand, and its table still holds its routes.
bool SplitRoutingInUse(std::size_t directRanges);

}  // namespace zv

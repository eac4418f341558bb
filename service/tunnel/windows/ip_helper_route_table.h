// Routes and addresses on Windows, as IP Helper rows: every route the service
// adds is static (MIB_IPPROTO_NETMGMT), metric 0 so that the interface metric
// alone decides (the tunnel's own is fixed at 0), and its site prefix as long
// as its destination prefix.
#pragma once

#include "nt_calls.h"
#include "route_table.h"

namespace zv {

inline constexpr std::uint32_t kRouteProtocolNetmgmt = 3;
inline constexpr std::uint32_t kDadStatePreferred = 4;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorNotFound = 1168;

// The row a route becomes.
RouteRow RowOf(const Route& route);

class IpHelperRouteTable final : public RouteTable {
 public:
  explicit IpHelperRouteTable(IpHelperCalls& calls) : calls(calls) {}
  std::uint32_t BestPath(const IpAddress& destination, Route& path) override;
  std::uint32_t Remove(const Route& route) override { return calls.DeleteRoute(RowOf(route)); }
  std::uint32_t PathsTo(const IpAddress& destination, std::vector<RouteChoice>& routes) override;
  AddResult Add(const Route& route) override;
  AddResult AddAddress(std::uint64_t interfaceId, const IpAddress& address, std::uint8_t prefixLength) override;
  // Windows keeps one table and picks from it by prefix and metric: the
  // tunnel's routes are in use as soon as they exist.
  std::uint32_t UseTunnelTable() override { return 0; }
  void LeaveTunnelTable() override {}

 private:
  IpHelperCalls& calls;
  std::uint64_t tunnelInterface = 0;  // the interface that last got its address
  bool tunnelWithoutIpv6 = false;
};

}  // namespace zv

#include "routing_linux.h"

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "netlink_request.h"

namespace zv {
namespace {

std::uint8_t SystemFamily(IpFamily family) { return family == IpFamily::V6 ? AF_INET6 : AF_INET; }

bool Unspecified(const IpAddress& address) {
  for (std::size_t i = 0; i < address.Length(); ++i) {
    if (address.Bytes()[i] != 0) return false;
  }
  return true;
}

// Whether the first `length` bits of `network` and `address` agree.
bool Holds(const std::uint8_t* network, std::uint8_t length, const IpAddress& address) {
  for (int bit = 0; bit < length; ++bit) {
    if (((network[bit / 8] ^ address.Bytes()[bit / 8]) >> (7 - bit % 8)) & 1) return false;
  }
  return true;
}

AddResult Added(int error) {
  if (error == 0) return {};
  if (error == EEXIST) return {AddResult::Outcome::WasThere};
  return AddResult::Failed(static_cast<std::uint32_t>(error));
}

std::uint32_t TableNumber(RouteTableId table) { return table == RouteTableId::Tunnel ? kTunnelTable : RT_TABLE_MAIN; }

int ChangeRoute(std::uint16_t type, const Route& route) {
  rtnl::Message message(type, type == RTM_NEWROUTE ? NLM_F_CREATE | NLM_F_EXCL : 0);
  auto& header = message.Put<rtmsg>();
  header.rtm_family = SystemFamily(route.destination.family);
  header.rtm_dst_len = route.prefixLength;
  header.rtm_table = RT_TABLE_UNSPEC;  // the attribute below holds it, as tables may exceed 255
  header.rtm_protocol = kRouteProtocol;
  header.rtm_type = RTN_UNICAST;
  const bool viaGateway = !Unspecified(route.nextHop);
  header.rtm_scope = viaGateway ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
  message.Attribute32(RTA_TABLE, TableNumber(route.table));
  message.Attribute(RTA_DST, route.destination.Bytes(), route.destination.Length());
  message.Attribute32(RTA_OIF, static_cast<std::uint32_t>(route.interfaceId));
  if (viaGateway) message.Attribute(RTA_GATEWAY, route.nextHop.Bytes(), route.nextHop.Length());
  message.Attribute32(RTA_PRIORITY, 0);
  return rtnl::Transact(message);
}

constexpr int kAllRoutes = -1;
constexpr std::uint32_t kUnreachable = 0;  // as a rule's table: the lookup ends there, unreachable
// One rule to a table; the table's routes of `suppressUpTo` bits or fewer are
// passed over (0: its default routes), and `mark` selects by fwmark.
int ChangeRule(std::uint16_t type, std::uint8_t family, std::uint32_t priority, std::uint32_t table,
               int suppressUpTo, std::uint32_t mark = 0) {
  rtnl::Message message(type, type == RTM_NEWRULE ? NLM_F_CREATE | NLM_F_EXCL : 0);
  auto& rule = message.Put<fib_rule_hdr>();
  rule.family = family;
  rule.action = table == kUnreachable ? FR_ACT_UNREACHABLE : FR_ACT_TO_TBL;
  message.Attribute32(FRA_PRIORITY, priority);
  if (table != kUnreachable) message.Attribute32(FRA_TABLE, table);
  if (suppressUpTo != kAllRoutes) message.Attribute32(FRA_SUPPRESS_PREFIXLEN, static_cast<std::uint32_t>(suppressUpTo));
  if (mark != 0) {
    message.Attribute32(FRA_FWMARK, mark);
    message.Attribute32(FRA_FWMASK, 0xffffffff);
  }
  return rtnl::Transact(message);
}

// Whether IPv4 rules of each priority stand; true when they cannot be listed,
// as not knowing is no reason to take a tunnel apart.
bool RulesStand(std::initializer_list<std::uint32_t> priorities) {
  std::vector<std::uint32_t> found;
  rtnl::Message dump(RTM_GETRULE, NLM_F_DUMP);
  dump.Put<fib_rule_hdr>().family = AF_INET;
  const int result = rtnl::Transact(dump, [&](const nlmsghdr& answer) {
    if (answer.nlmsg_type != RTM_NEWRULE) return;
    rtnl::ForEachAttribute(answer, sizeof(fib_rule_hdr), [&](std::uint16_t type, const std::uint8_t* data, std::size_t) {
      if (type != FRA_PRIORITY) return;
      std::uint32_t priority = 0;
      std::memcpy(&priority, data, 4);
      found.push_back(priority);
    });
  });
  if (result != 0) return true;
  for (const std::uint32_t priority : priorities) {
    if (std::find(found.begin(), found.end(), priority) == found.end()) return false;
  }
  return true;
}

// Our routes in `table`, of either family, as far as they could be listed: 0 or the errno.
struct OwnRoute {
  std::uint8_t length;
  std::array<std::uint8_t, 16> network;
};
int OwnRoutesIn(std::uint32_t table, std::vector<OwnRoute>& found) {
  rtnl::Message dump(RTM_GETROUTE, NLM_F_DUMP);
  auto& filter = dump.Put<rtmsg>();
  filter.rtm_family = AF_UNSPEC;
  filter.rtm_protocol = kRouteProtocol;
  dump.Attribute32(RTA_TABLE, table);
  return rtnl::Transact(dump, [&](const nlmsghdr& answer) {
    if (answer.nlmsg_type != RTM_NEWROUTE) return;
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(&answer));
    std::uint32_t inTable = route->rtm_table;
    OwnRoute own{route->rtm_dst_len, {}};
    rtnl::ForEachAttribute(answer, sizeof(rtmsg), [&](std::uint16_t type, const std::uint8_t* data, std::size_t size) {
      if (type == RTA_TABLE) std::memcpy(&inTable, data, 4);
      if (type == RTA_DST && size <= own.network.size()) std::memcpy(own.network.data(), data, size);
    });
    if (inTable == table && route->rtm_protocol == kRouteProtocol) found.push_back(own);
  });
}

// Whether `table` still holds `made` routes of ours; true when they cannot be
// listed, as not knowing is no reason to take a tunnel apart.
bool StillHolds(std::uint32_t table, std::size_t made) {
  std::vector<OwnRoute> found;
  return OwnRoutesIn(table, found) != 0 || found.size() >= made;
}

// A route of the split's table: through the tunnel, or "throw" (the lookup goes on past the split's rule).
int ChangeSplitRoute(std::uint16_t type, const std::uint8_t* network, std::uint8_t length, unsigned tunnelIndex) {
  rtnl::Message message(type, type == RTM_NEWROUTE ? NLM_F_CREATE | NLM_F_EXCL : 0);
  auto& header = message.Put<rtmsg>();
  header.rtm_family = AF_INET;
  header.rtm_dst_len = length;
  header.rtm_table = RT_TABLE_UNSPEC;
  header.rtm_protocol = kRouteProtocol;
  header.rtm_scope = tunnelIndex != 0 ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
  header.rtm_type = tunnelIndex != 0 ? RTN_UNICAST : RTN_THROW;
  message.Attribute32(RTA_TABLE, kSplitTable);
  if (length != 0) message.Attribute(RTA_DST, network, 4);
  if (tunnelIndex != 0) message.Attribute32(RTA_OIF, tunnelIndex);
  return rtnl::Transact(message);
}

}  // namespace

std::uint32_t LinuxRouteTable::BestPath(const IpAddress& destination, Route& path) {
  rtnl::Message message(RTM_GETROUTE, 0);
  auto& header = message.Put<rtmsg>();
  header.rtm_family = SystemFamily(destination.family);
  header.rtm_dst_len = destination.HostPrefix();
  message.Attribute(RTA_DST, destination.Bytes(), destination.Length());
  path = Route{};
  path.nextHop.family = destination.family;
  std::uint32_t index = 0;
  const int error = rtnl::Transact(message, [&](const nlmsghdr& answer) {
    if (answer.nlmsg_type != RTM_NEWROUTE) return;
    rtnl::ForEachAttribute(answer, sizeof(rtmsg), [&](std::uint16_t type, const std::uint8_t* data, std::size_t size) {
      if (type == RTA_OIF) std::memcpy(&index, data, 4);
      if (type == RTA_GATEWAY && size == destination.Length()) std::memcpy(path.nextHop.Bytes(), data, size);
    });
  });
  if (error != 0) return static_cast<std::uint32_t>(error);
  if (index == 0) return ENETUNREACH;
  path.interfaceId = index;
  return 0;
}

AddResult LinuxRouteTable::Add(const Route& route) {
  const int result = ChangeRoute(RTM_NEWROUTE, route);
  if (route.table != RouteTableId::Tunnel) return Added(result);
  // A tunnel interface without IPv6 has no IPv6 traffic to carry: the route is
  // not needed, and the tunnel works as well without it.
  if (route.destination.family == IpFamily::V6 && (result == EACCES || result == EAFNOSUPPORT)) return {};
  if (result == 0) ++tunnelRoutes;
  return Added(result);
}

// Only the tunnel's table's own count needs keeping: the split's host routes
// there are Windows' alone, so on Linux only a stale count is ever put right.
std::uint32_t LinuxRouteTable::Remove(const Route& route) {
  const int result = ChangeRoute(RTM_DELROUTE, route);
  if (result == 0 && route.table == RouteTableId::Tunnel && tunnelRoutes > 0) --tunnelRoutes;
  return static_cast<std::uint32_t>(result);
}

AddResult LinuxRouteTable::AddAddress(std::uint64_t interfaceId, const IpAddress& address, std::uint8_t prefixLength) {
  rtnl::Message message(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL);
  auto& header = message.Put<ifaddrmsg>();
  header.ifa_family = SystemFamily(address.family);
  header.ifa_prefixlen = prefixLength;
  header.ifa_index = static_cast<std::uint32_t>(interfaceId);
  message.Attribute(IFA_LOCAL, address.Bytes(), address.Length());
  message.Attribute(IFA_ADDRESS, address.Bytes(), address.Length());
  return Added(rtnl::Transact(message));
}

// The main table's unicast routes whose prefix holds the destination; a route
// through a link that is down carries nothing and is not usable.
std::uint32_t LinuxRouteTable::PathsTo(const IpAddress& destination, std::vector<RouteChoice>& routes) {
  routes.clear();
  rtnl::Message message(RTM_GETROUTE, NLM_F_DUMP);
  message.Put<rtmsg>().rtm_family = SystemFamily(destination.family);
  const std::size_t length = destination.Length();
  const int error = rtnl::Transact(message, [&](const nlmsghdr& answer) {
    if (answer.nlmsg_type != RTM_NEWROUTE) return;
    const auto* found = static_cast<const rtmsg*>(NLMSG_DATA(&answer));
    if (found->rtm_type != RTN_UNICAST) return;
    RouteChoice choice{};
    choice.route.destination.family = choice.route.nextHop.family = destination.family;
    choice.route.prefixLength = found->rtm_dst_len;
    choice.usable = (found->rtm_flags & (RTNH_F_DEAD | RTNH_F_LINKDOWN)) == 0;
    std::uint32_t table = found->rtm_table, index = 0;
    rtnl::ForEachAttribute(answer, sizeof(rtmsg), [&](std::uint16_t type, const std::uint8_t* data, std::size_t size) {
      if (type == RTA_TABLE) std::memcpy(&table, data, 4);
      if (type == RTA_OIF) std::memcpy(&index, data, 4);
      if (type == RTA_PRIORITY) std::memcpy(&choice.metric, data, 4);
      if (type == RTA_DST && size == length) std::memcpy(choice.route.destination.Bytes(), data, length);
      if (type == RTA_GATEWAY && size == length) std::memcpy(choice.route.nextHop.Bytes(), data, length);
    });
    if (table != RT_TABLE_MAIN || index == 0 ||
        !Holds(choice.route.destination.Bytes(), choice.route.prefixLength, destination)) {
      return;
    }
    choice.route.interfaceId = index;
    routes.push_back(choice);
  });
  return static_cast<std::uint32_t>(error);
}

std::uint32_t LinuxRouteTable::UseTunnelTable() {
  // Rules of a run whose record was lost would make each addition fail: the
  // same rules are made afresh instead.
  LeaveTunnelTable();
  tunnelRoutes = 0;  // the last tunnel's went with its interface
  for (const std::uint8_t family : {AF_INET, AF_INET6}) {
    for (const bool main : {true, false}) {
      const int result = ChangeRule(RTM_NEWRULE, family, main ? kMainRulePriority : kTunnelRulePriority,
                                    main ? RT_TABLE_MAIN : kTunnelTable, main ? 0 : kAllRoutes);
      if (result != 0 && !(family == AF_INET6 && result == EAFNOSUPPORT)) {
        LeaveTunnelTable();
        return static_cast<std::uint32_t>(result);
      }
    }
  }
  int result = ChangeRule(RTM_NEWRULE, AF_INET, kDirectRulePriority, RT_TABLE_MAIN, kAllRoutes, kDirectMark);
  if (result == 0) result = ChangeRule(RTM_NEWRULE, AF_INET, kDirectEndPriority, kUnreachable, kAllRoutes, kDirectMark);
  if (result != 0) LeaveTunnelTable();
  return static_cast<std::uint32_t>(result);
}

bool LinuxRouteTable::TunnelTableInUse() {
  return RulesStand({kMainRulePriority, kTunnelRulePriority, kDirectRulePriority, kDirectEndPriority}) &&
         StillHolds(kTunnelTable, tunnelRoutes);
}

void LinuxRouteTable::LeaveTunnelTable() {
  for (const std::uint8_t family : {AF_INET, AF_INET6}) {
    ChangeRule(RTM_DELRULE, family, kTunnelRulePriority, kTunnelTable, kAllRoutes);
    ChangeRule(RTM_DELRULE, family, kMainRulePriority, RT_TABLE_MAIN, 0);
  }
  ChangeRule(RTM_DELRULE, AF_INET, kDirectEndPriority, kUnreachable, kAllRoutes, kDirectMark);
  ChangeRule(RTM_DELRULE, AF_INET, kDirectRulePriority, RT_TABLE_MAIN, kAllRoutes, kDirectMark);
}

int AddSplitRouting(unsigned tunnelIndex, std::span<const Ipv4Range> direct) {
  const std::uint8_t everything[4] = {};
  int result = ChangeSplitRoute(RTM_NEWROUTE, everything, 0, tunnelIndex);
  for (const Ipv4Range& range : direct) {
    if (result == 0) result = ChangeSplitRoute(RTM_NEWROUTE, range.network, range.prefixLength, 0);
  }
  // The host's own narrower routes first: its LAN is direct wherever its addresses lie.
  if (result == 0) result = ChangeRule(RTM_NEWRULE, AF_INET, kSplitLanPriority, RT_TABLE_MAIN, kSplitLanSuppress, kSplitMark);
  if (result == 0) result = ChangeRule(RTM_NEWRULE, AF_INET, kSplitRulePriority, kSplitTable, kAllRoutes, kSplitMark);
  if (result != 0) RemoveSplitRouting();
  return result;
}

bool SplitRoutingInUse(std::size_t directRanges) {
  return RulesStand({kSplitLanPriority, kSplitRulePriority}) && StillHolds(kSplitTable, 1 + directRanges);
}

void RemoveSplitRouting() {
  ChangeRule(RTM_DELRULE, AF_INET, kSplitRulePriority, kSplitTable, kAllRoutes, kSplitMark);
  ChangeRule(RTM_DELRULE, AF_INET, kSplitLanPriority, RT_TABLE_MAIN, kSplitLanSuppress, kSplitMark);
  // Every route of the split's table is ours: one dump, then each one found deleted.
  std::vector<OwnRoute> found;
  OwnRoutesIn(kSplitTable, found);
  for (const auto& [length, network] : found) {
    rtnl::Message message(RTM_DELROUTE, 0);
    auto& header = message.Put<rtmsg>();
    header.rtm_family = AF_INET;
    header.rtm_dst_len = length;
    header.rtm_protocol = kRouteProtocol;
    header.rtm_type = RTN_UNSPEC;         // any type and scope: the default route (scope link)
    header.rtm_scope = RT_SCOPE_NOWHERE;  // and the throws alike
    message.Attribute32(RTA_TABLE, kSplitTable);
    if (length != 0) message.Attribute(RTA_DST, network.data(), 4);
    rtnl::Transact(message);
  }
}

}  // namespace zv

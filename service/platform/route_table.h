// The system's routes and addresses, and the tables the tunnel's routes live
// in. Windows has one table, from which it picks by prefix and metric; Linux
// keeps the tunnel's routes in a table of their own that rules put to use.
// Every route the service makes is tagged as its own, and only tagged routes
// are ever removed.
#pragma once

#include <cstdint>
#include <vector>

#include "net_types.h"

namespace zv {

enum class RouteTableId : std::uint8_t {
  Main,    // the system's: the endpoint's host route, pinned on the physical path
  Tunnel,  // the routes through the tunnel's interface
};

struct Route {
  std::uint64_t interfaceId = 0;  // LUID on Windows, index on Linux
  SocketAddressInet destination{};  // the network: no bits past its prefix
  std::uint8_t prefixLength = 0;
  SocketAddressInet nextHop{};  // the unspecified address: on-link
  RouteTableId table = RouteTableId::Main;
  friend bool operator==(const Route&, const Route&) = default;
};

// One route of the main table that could carry packets to a destination.
struct RouteChoice {
  Route route;
  std::uint32_t metric;  // what decides between equal prefixes: the route's and its interface's
  bool usable;           // its interface is up and connected
};

class RouteTable {
 public:
  virtual ~RouteTable() = default;
  // Each returns the system's result code, 0 on success; kErrorObjectAlreadyExists when it is there already.
  virtual std::uint32_t BestPath(const SocketAddressInet& destination, Route& path) = 0;
  virtual std::uint32_t Add(const Route& route) = 0;
  virtual std::uint32_t Remove(const Route& route) = 0;
  virtual std::uint32_t AddAddress(std::uint64_t interfaceId, const SocketAddressInet& address,
                                   std::uint8_t prefixLength) = 0;
  // The main table's routes whose prefix holds `destination`.
  virtual std::uint32_t PathsTo(const SocketAddressInet& destination, std::vector<RouteChoice>& routes) = 0;
  // Puts the tunnel table to use, and out of use again. Windows needs nothing:
  // its one table already holds the tunnel's routes beside the others.
  virtual std::uint32_t UseTunnelTable() = 0;
  virtual void LeaveTunnelTable() = 0;
  // Whether what puts the tunnel table to use still stands, and the routes made
  // in it: another program may take them away.
  virtual bool TunnelTableInUse() { return true; }
};

}  // namespace zv

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
  IpAddress destination{};  // the network: no bits past its prefix, no port
  std::uint8_t prefixLength = 0;
  IpAddress nextHop{};  // the unspecified address: on-link
  RouteTableId table = RouteTableId::Main;
  friend bool operator==(const Route&, const Route&) = default;
};

// One route of the main table that could carry packets to a destination.
struct RouteChoice {
  Route route;
  std::uint32_t metric;  // what decides between equal prefixes: the route's and its interface's
  bool usable;           // its interface is up and connected
};

// What adding a route or an address came to. Only an added one is the
// service's own: one that was there already is used, and never removed.
struct AddResult {
  enum class Outcome : std::uint8_t { Added, WasThere, Failed } outcome = Outcome::Added;
  std::uint32_t code = 0;  // the system's error number, when it failed

  static AddResult Failed(std::uint32_t code) { return {Outcome::Failed, code}; }
  bool Succeeded() const { return outcome != Outcome::Failed; }
  friend bool operator==(const AddResult&, const AddResult&) = default;
};

class RouteTable {
 public:
  virtual ~RouteTable() = default;
  // These return 0, or the system's error number.
  virtual std::uint32_t BestPath(const IpAddress& destination, Route& path) = 0;
  virtual std::uint32_t Remove(const Route& route) = 0;
  // The main table's routes whose prefix holds `destination`.
  virtual std::uint32_t PathsTo(const IpAddress& destination, std::vector<RouteChoice>& routes) = 0;

  virtual AddResult Add(const Route& route) = 0;
  virtual AddResult AddAddress(std::uint64_t interfaceId, const IpAddress& address, std::uint8_t prefixLength) = 0;
  // Puts the tunnel table to use, and out of use again. Windows needs nothing:
  // its one table already holds the tunnel's routes beside the others.
  virtual std::uint32_t UseTunnelTable() = 0;
  virtual void LeaveTunnelTable() = 0;
  // Whether what puts the tunnel table to use still stands, and the routes made
  // in it: another program may take them away.
  virtual bool TunnelTableInUse() { return true; }
};

}  // namespace zv

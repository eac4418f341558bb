// The system's routes in memory: a table of route texts the engine's own calls
// change, beside the other routes a test lays out for PathsTo; any call can
// be scripted to fail. A destination's port would show in its text.
#pragma once

#include <set>
#include <sstream>

#include "fake_tunnel_device.h"
#include "route_table.h"

namespace zv::test {

// "main 198.51.100.7/32 via 192.0.2.1 on 7", "tunnel 0.0.0.0/0 on 101"
inline std::string Text(const Route& route) {
  std::string text = std::string(route.table == RouteTableId::Main ? "main " : "tunnel ") + Text(route.destination) +
                     "/" + std::to_string(route.prefixLength);
  if (route.nextHop != SocketAddressInet{route.nextHop.family}) text += " via " + Text(route.nextHop);
  return text + " on " + std::to_string(route.interfaceId);
}

inline SocketAddressInet Address(const std::string& text) {
  SocketAddressInet address{};
  if (inet_pton(AF_INET, text.c_str(), address.rest) == 1) address.family = kFamilyIpv4;
  else if (inet_pton(AF_INET6, text.c_str(), address.rest + 4) == 1) address.family = kFamilyIpv6;
  return address;
}

// Reads back a main table route text ("prefix via hop on interface").
inline Route MainRoute(const std::string& text) {
  std::istringstream in(text);
  std::string prefix, via, hop, on;
  Route route;
  in >> prefix >> via >> hop >> on >> route.interfaceId;
  route.destination = Address(prefix.substr(0, prefix.find('/')));
  route.prefixLength = static_cast<std::uint8_t>(std::stoi(prefix.substr(prefix.find('/') + 1)));
  route.nextHop = Address(hop);
  return route;
}

class FakeRouteTable final : public RouteTable {
 public:
  explicit FakeRouteTable(TestLog& log) : log(log) {}

  std::multiset<std::string> routes, addresses;
  bool tunnelTableInUse = false;
  // The host's own routes of the main table: "prefix via next-hop on interface", metric, usable.
  struct Path {
    std::string route;
    std::uint32_t metric;
    bool usable = true;
  };
  std::vector<Path> paths = {{"0.0.0.0/0 via 192.0.2.1 on 7", 10}};
  std::function<void(const std::string& route)> beforeAdd;  // at each route about to be made

  std::uint32_t BestPath(const SocketAddressInet& destination, Route& path) override {
    if (const auto result = log.Record("best path", Text(destination)); result != 0) return result;
    path = Route{};
    path.interfaceId = 7;  // the physical interface
    path.nextHop = Address(destination.family == kFamilyIpv4 ? "192.0.2.1" : "fe80::1");
    return 0;
  }
  std::uint32_t Add(const Route& route) override {
    if (beforeAdd) beforeAdd(Text(route));
    return Create("add", Text(route), routes);
  }
  std::uint32_t Remove(const Route& route) override {
    const std::string text = Text(route);
    if (const auto result = log.Record("remove", text); result != 0) return result;
    const auto found = routes.find(text);
    if (found == routes.end()) return 1168;  // not found
    routes.erase(found);
    return 0;
  }
  std::uint32_t AddAddress(std::uint64_t interfaceId, const SocketAddressInet& address,
                           std::uint8_t prefixLength) override {
    return Create("address", Text(address) + "/" + std::to_string(prefixLength) + " on " + std::to_string(interfaceId),
                  addresses);
  }
  std::uint32_t PathsTo(const SocketAddressInet& destination, std::vector<RouteChoice>& found) override {
    if (const auto result = log.Record("paths to", Text(destination)); result != 0) return result;
    found.clear();
    std::vector<Path> all = paths;
    for (const std::string& route : routes) {
      if (route.starts_with("main ")) all.push_back({route.substr(5), 0});
    }
    for (const Path& path : all) {
      const Route route = MainRoute(path.route);
      if (Holds(route, destination)) found.push_back({route, path.metric, path.usable});
    }
    return 0;
  }
  std::uint32_t UseTunnelTable() override {
    const auto result = log.Record("use tunnel table");
    tunnelTableInUse = result == 0;
    return result;
  }
  void LeaveTunnelTable() override {
    log.Record("leave tunnel table");
    tunnelTableInUse = false;
  }
  // What an interface's closing takes with it.
  void DropInterface(std::uint64_t interfaceId) {
    const std::string suffix = " on " + std::to_string(interfaceId);
    std::erase_if(routes, [&](const std::string& route) { return route.ends_with(suffix); });
    std::erase_if(addresses, [&](const std::string& address) { return address.ends_with(suffix); });
  }

 private:
  static bool Holds(const Route& route, const SocketAddressInet& address) {
    for (int bit = 0; bit < route.prefixLength; ++bit) {
      if (((route.destination.Bytes()[bit / 8] ^ address.Bytes()[bit / 8]) >> (7 - bit % 8)) & 1) return false;
    }
    return route.destination.family == address.family;
  }
  std::uint32_t Create(const char* call, const std::string& entry, std::multiset<std::string>& table) {
    if (const auto result = log.Record(call, entry); result != 0) return result;
    if (table.contains(entry)) return kErrorObjectAlreadyExists;
    table.insert(entry);
    return 0;
  }
  TestLog& log;
};

}  // namespace zv::test

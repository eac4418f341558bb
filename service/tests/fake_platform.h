// The platform in memory, for the tunnel engine: fakes of the three
// interfaces that hold what the system would hold (the adapter and its peer,
// the routes and addresses, the steering and the lists it was told), any of
// whose calls a test can script to fail; and the start request both the
// engine's and the Windows implementations' tests drive an engine with.
#pragma once

#include <arpa/inet.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "game_steering.h"
#include "route_table.h"
#include "tunnel_device.h"
#include "tunnel_engine.h"

namespace zv::test {

// Which calls fail, and with what: the nth (1-based; 0: every) call named
// `call` answers `result`; the last one given wins, so 0 heals what an earlier one broke.
class Faults {
 public:
  void Fail(const std::string& call, std::uint32_t result, int nth = 0) {
    const std::lock_guard guard(lock);
    faults.emplace_back(call, nth, result);
  }
  std::uint32_t Answer(const std::string& call) {
    const std::lock_guard guard(lock);
    const int made = ++counts[call];
    std::uint32_t answer = 0;
    for (const auto& [failing, nth, result] : faults) {
      if (failing == call && (nth == 0 || nth == made)) answer = result;
    }
    return answer;
  }

 private:
  std::mutex lock;
  std::vector<std::tuple<std::string, int, std::uint32_t>> faults;  // call, nth, result
  std::map<std::string, int> counts;
};

// A start request's members, as the client writes them.
struct Members {
  std::string privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";  // bytes 1..32
  std::string assignedIp = "10.240.0.2/32";
  std::string serverKey = "gIGCg4SFhoeIiYqLjI2Oj5CRkpOUlZaXmJmam5ydnp8=";  // bytes 0x80..0x9f
  std::string endpoint = "198.51.100.7:51820";
  std::string routeMode;
  std::string allowedIps = R"(["0.0.0.0/0","2001:db8::/32"])";
  std::string gameProcesses = R"(["game.exe"])";
};

inline std::string Body(const Members& m) {
  return R"({"private_key":")" + m.privateKey + R"(","assigned_ip":")" + m.assignedIp +
         R"(","server_public_key":")" + m.serverKey + R"(","endpoint":")" + m.endpoint + R"(","route_mode":")" +
         m.routeMode + R"(","allowed_ips":)" + m.allowedIps + R"(,"game_processes":)" + m.gameProcesses + "}";
}

// "started" and "stopped", or the engine's code.
inline std::string Start(TunnelEngine& tunnel, const Members& members, std::uint32_t owner) {
  std::string error;
  return tunnel.BringUp(Body(members), owner, error) ? "started" : error;
}
inline std::string Stop(TunnelEngine& tunnel) {
  std::string error;
  return tunnel.TearDown(error) ? "stopped" : error;
}

// "198.51.100.7", or with a port "198.51.100.7:51820"
inline std::string Text(const IpAddress& address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(address.family == IpFamily::V6 ? AF_INET6 : AF_INET, address.Bytes(), text, sizeof text);
  return text + (address.port != 0 ? ":" + std::to_string(address.port) : "");
}

inline IpAddress Address(const std::string& text) {
  IpAddress address{};
  if (inet_pton(AF_INET6, text.c_str(), address.Bytes()) == 1) address.family = IpFamily::V6;
  else inet_pton(AF_INET, text.c_str(), address.Bytes());
  return address;
}

// An adapter in memory: the peer it was configured with, whether it is up; it
// fails any step the faults say (the code names the step and the number),
// vanishes as a dead helper makes it.
class FakeTunnelDevice final : public TunnelDevice {
 public:
  explicit FakeTunnelDevice(Faults& faults) : faults(faults) {}

  bool exists = false, raised = false, vanished = false;
  int made = 0;               // adapters created so far
  std::string peer;           // "endpoint keepalive N networks…" as configured
  std::vector<AdapterTrace> staleRemoved;
  std::optional<PeerActivity> activity = PeerActivity{};  // nothing: it cannot be read
  std::function<void(std::uint64_t interfaceId)> onClose;  // its address and routes go with it

  bool Create(std::string& error) override {
    if (!Step("create", error)) return false;
    exists = true, vanished = false, raised = false, peer.clear(), ++made;
    return true;
  }
  std::uint64_t InterfaceId() override { return 100 + made; }
  bool Configure(const PeerSettings& settings, std::string& error) override {
    if (!Step("configure", error)) return false;
    peer = Text(settings.endpoint) + " keepalive " + std::to_string(settings.keepaliveSeconds);
    for (const IpPrefix& entry : settings.allowedNetworks) peer += " " + Text(entry.address) + "/" + std::to_string(entry.length);
    return true;
  }
  bool Raise(std::string& error) override { return Step("raise", error) && (raised = true); }
  bool Release(const std::function<void()>& afterClose, std::string& error) override {
    return Step("release", error) && (Close(afterClose), true);
  }
  void Abandon(const std::function<void()>& afterClose) override { Close(afterClose); }
  bool Present() override { return exists && !vanished; }
  std::optional<PeerActivity> Activity() override { return activity; }
  AdapterTrace Trace() override { return {static_cast<std::uint32_t>(made), 7}; }
  void RemoveStale(const AdapterTrace& trace) override { staleRemoved.push_back(trace); }

 private:
  void Close(const std::function<void()>& afterClose) {
    exists = raised = false;
    peer.clear();
    if (onClose) onClose(InterfaceId());
    afterClose();
  }
  bool Step(const char* step, std::string& error) {
    const std::uint32_t result = faults.Answer(step);
    if (result != 0) error = std::string(step) + "_failed_" + std::to_string(result);
    return result == 0;
  }
  Faults& faults;
};

// "main 198.51.100.7/32 via 192.0.2.1 on 7", "tunnel 0.0.0.0/0 on 101"
inline std::string Text(const Route& route) {
  std::string text = std::string(route.table == RouteTableId::Main ? "main " : "tunnel ") + Text(route.destination) +
                     "/" + std::to_string(route.prefixLength);
  if (route.nextHop != IpAddress{route.nextHop.family}) text += " via " + Text(route.nextHop);
  return text + " on " + std::to_string(route.interfaceId);
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

// The system's routes in memory: a table of route texts the engine's own calls
// change, beside the host's paths a test lays out for PathsTo; any call can be
// scripted to fail. A destination's port would show in its text.
class FakeRouteTable final : public RouteTable {
 public:
  explicit FakeRouteTable(Faults& faults) : faults(faults) {}

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

  std::uint32_t BestPath(const IpAddress& destination, Route& path) override {
    if (const auto result = faults.Answer("best path"); result != 0) return result;
    path = Route{};
    path.interfaceId = 7;  // the physical interface
    path.nextHop = Address(destination.family == IpFamily::V4 ? "192.0.2.1" : "fe80::1");
    return 0;
  }
  AddResult Add(const Route& route) override {
    if (beforeAdd) beforeAdd(Text(route));
    return Create("add", Text(route), routes);
  }
  std::uint32_t Remove(const Route& route) override {
    if (const auto result = faults.Answer("remove"); result != 0) return result;
    const auto found = routes.find(Text(route));
    if (found == routes.end()) return 1168;  // not found
    routes.erase(found);
    return 0;
  }
  AddResult AddAddress(std::uint64_t interfaceId, const IpAddress& address, std::uint8_t prefixLength) override {
    return Create("address", Text(address) + "/" + std::to_string(prefixLength) + " on " + std::to_string(interfaceId),
                  addresses);
  }
  std::uint32_t PathsTo(const IpAddress& destination, std::vector<RouteChoice>& found) override {
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
    const auto result = faults.Answer("use tunnel table");
    tunnelTableInUse = result == 0;
    return result;
  }
  void LeaveTunnelTable() override { tunnelTableInUse = false; }
  bool TunnelTableInUse() override { return tunnelTableInUse; }
  // What an interface's closing takes with it.
  void DropInterface(std::uint64_t interfaceId) {
    const std::string suffix = " on " + std::to_string(interfaceId);
    std::erase_if(routes, [&](const std::string& route) { return route.ends_with(suffix); });
    std::erase_if(addresses, [&](const std::string& address) { return address.ends_with(suffix); });
  }
  // Our route to the endpoint in the main table, or "" when there is none.
  std::string Pin() const {
    for (const std::string& route : routes) {
      if (route.starts_with("main 198.51.100.7/32")) return route;
    }
    return "";
  }

 private:
  static bool Holds(const Route& route, const IpAddress& address) {
    for (int bit = 0; bit < route.prefixLength; ++bit) {
      if (((route.destination.Bytes()[bit / 8] ^ address.Bytes()[bit / 8]) >> (7 - bit % 8)) & 1) return false;
    }
    return route.destination.family == address.family;
  }
  AddResult Create(const char* call, const std::string& entry, std::multiset<std::string>& table) {
    if (const auto result = faults.Answer(call); result != 0) return AddResult::Failed(result);
    if (table.contains(entry)) return {AddResult::Outcome::WasThere};
    table.insert(entry);
    return {};
  }
  Faults& faults;
};

// Game steering in memory: a process table the test changes while the
// tracker runs, and what it was told: the target of its start and every list
// of the game's processes, as a driver would have received them.
using Processes = std::vector<std::pair<std::uint32_t, std::string>>;

class FakeGameSteering final : public GameSteering {
 public:
  explicit FakeGameSteering(Faults& faults) : faults(faults) {}

  bool running = false;
  SteeringTarget target;

  void SetTable(Processes table, bool failing = false) {
    const std::lock_guard guard(lock);
    processes = std::move(table), lookFails = failing;
  }
  // Until the tracker has looked `more` times again (10 s at most).
  bool AwaitLooks(int more) {
    std::unique_lock guard(lock);
    const int wanted = looks + more;
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return looks >= wanted; });
  }
  std::vector<std::vector<std::uint32_t>> Told() {
    const std::lock_guard guard(lock);
    return told;
  }

  bool Start(const SteeringTarget& started, std::string& error) override {
    if (started.watchOnly) return false;  // full routing's watch: proven on the kernel, not here
    const std::uint32_t result = faults.Answer("steer");
    if (result != 0) error = "steer_failed_" + std::to_string(result);
    target = started;
    return running = result == 0;
  }
  void Stop() override { running = false; }
  bool Intact() override { return running; }  // a test takes what it laid down away by clearing `running`
  void SetGameProcesses(const std::vector<std::uint32_t>& ids) override {
    const std::lock_guard guard(lock);
    told.push_back(ids);
  }
  bool ForEachProcess(const ProcessVisitor& visit) override {
    const std::lock_guard guard(lock);
    if (!lookFails) {
      for (const auto& [id, name] : processes) visit(id, name);
    }
    return !lookFails;
  }
  // Each pause counts as one look done, and yields the core for a moment.
  void AwaitChange(std::chrono::milliseconds) override {
    {
      const std::lock_guard guard(lock);
      ++looks;
    }
    changed.notify_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Wake() override {}

 private:
  Faults& faults;
  std::mutex lock;
  std::condition_variable changed;
  Processes processes;
  std::vector<std::vector<std::uint32_t>> told;
  bool lookFails = false;
  int looks = 0;
};

}  // namespace zv::test

// The platform in memory, for the tunnel engine and the Windows implementations:
// one log of every call in order, in which a test scripts calls to fail, and
// fakes of the three interfaces that record into it; and the start request
// both drive an engine with.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "game_steering.h"
#include "route_table.h"
#include "tunnel_device.h"
#include "tunnel_engine.h"

namespace zv::test {

using Calls = std::vector<std::string>;

class TestLog {
 public:
  // The nth (1-based; 0: every) call named `call` answers `result`; the last
  // one given wins, so a result of 0 heals what an earlier one broke.
  void Fail(const std::string& call, std::uint32_t result, int nth = 0) { faults.emplace_back(call, nth, result); }
  // Logs `call detail`; gives the result it is scripted to answer, or 0.
  std::uint32_t Record(const std::string& call, const std::string& detail = {}) {
    const std::lock_guard guard(lock);
    calls.push_back(detail.empty() ? call : call + " " + detail);
    const int made = ++counts[call];
    std::uint32_t answer = 0;
    for (const auto& [failing, nth, result] : faults) {
      if (failing == call && (nth == 0 || nth == made)) answer = result;
    }
    return answer;
  }
  Calls Since(std::size_t from) {
    const std::lock_guard guard(lock);
    return Calls(calls.begin() + static_cast<long>(from), calls.end());
  }

 private:
  std::mutex lock;
  Calls calls;
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

// The calls that begin with one of `kinds`, in order.
inline Calls Only(Calls calls, const std::vector<std::string_view>& kinds) {
  std::erase_if(calls, [&](const std::string& call) {
    return std::none_of(kinds.begin(), kinds.end(), [&](std::string_view kind) { return call.starts_with(kind); });
  });
  return calls;
}

// The last `count` calls, or all when there are fewer.
inline Calls Last(const Calls& calls, std::size_t count) {
  return Calls(calls.end() - static_cast<long>(std::min(count, calls.size())), calls.end());
}

// "198.51.100.7", or with a port "198.51.100.7:51820"
inline std::string Text(const SocketAddressInet& address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(address.family == kFamilyIpv6 ? AF_INET6 : AF_INET, address.Bytes(), text, sizeof text);
  return text + (address.port != 0 ? ":" + std::to_string(ntohs(address.port)) : "");
}

// An adapter in memory: it records what it is asked, fails any step the log
// is told to fail (the code names the step and the number), vanishes as a
// dead helper makes it, and says whether one is left.
class FakeTunnelDevice final : public TunnelDevice {
 public:
  explicit FakeTunnelDevice(TestLog& log) : log(log) {}

  bool exists = false, vanished = false;
  int made = 0;
  std::optional<PeerActivity> activity = PeerActivity{};  // nothing: it cannot be read
  std::function<void(std::uint64_t interfaceId)> onClose;  // its address and routes go with it

  bool Create(std::string& error) override { return Step("create", {}, error) && (exists = true, vanished = false, ++made); }
  std::uint64_t InterfaceId() override { return 100 + made; }
  bool Configure(const PeerSettings& settings, std::string& error) override {
    std::string detail = Text(settings.endpoint) + " keepalive " + std::to_string(settings.keepaliveSeconds) + " peer";
    for (const AllowedIp& entry : settings.allowedNetworks) {
      char text[INET6_ADDRSTRLEN] = {};
      inet_ntop(entry.addressFamily == kFamilyIpv6 ? AF_INET6 : AF_INET, entry.address, text, sizeof text);
      detail += " " + std::string(text) + "/" + std::to_string(entry.cidr);
    }
    return Step("configure", detail, error);
  }
  bool Raise(std::string& error) override { return Step("raise", {}, error); }
  bool Release(const std::function<void()>& afterClose, std::string& error) override {
    return Step("release", {}, error) && (Close(afterClose), true);
  }
  void Abandon(const std::function<void()>& afterClose) override { log.Record("abandon"), Close(afterClose); }
  bool Present() override { return exists && !vanished; }
  std::optional<PeerActivity> Activity() override { return activity; }
  AdapterTrace Trace() override { return {static_cast<std::uint32_t>(made), 7}; }
  void RemoveStale(const AdapterTrace& trace) override { log.Record("remove stale", std::to_string(trace.processId)); }

 private:
  void Close(const std::function<void()>& afterClose) {
    exists = false;
    if (onClose) onClose(InterfaceId());
    afterClose();
  }
  bool Step(const char* step, const std::string& detail, std::string& error) {
    const std::uint32_t result = log.Record(step, detail);
    if (result != 0) error = std::string(step) + "_failed_" + std::to_string(result);
    return result == 0;
  }
  TestLog& log;
};

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

// The system's routes in memory: a table of route texts the engine's own calls
// change, beside the other routes a test lays out for PathsTo; any call can
// be scripted to fail. A destination's port would show in its text.
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
  bool TunnelTableInUse() override { return tunnelTableInUse; }
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

// Game steering in memory: a process table the test changes while the
// tracker runs, flows queued for it to answer, and a log of what it was told;
// a start fails as the log is told.
using ProcessTable = std::vector<std::pair<std::uint32_t, std::u16string>>;

class FakeGameSteering final : public GameSteering {
 public:
  explicit FakeGameSteering(TestLog& log) : log(log) {}

  std::size_t nameLimit = std::numeric_limits<std::size_t>::max();
  bool running = false;

  void SetTable(ProcessTable table, bool failing = false) {
    const std::lock_guard guard(lock);
    processes = std::move(table), lookFails = failing;
  }
  void QueueFlow(PendingFlow flow) {
    const std::lock_guard guard(lock);
    pending.push_back(flow);
  }
  // Until the tracker has looked `more` times again (10 s at most).
  bool AwaitLooks(int more) {
    std::unique_lock guard(lock);
    const int target = looks + more;
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return looks >= target; });
  }

  std::size_t NameLimit() const override { return nameLimit; }
  bool Start(const SteeringTarget& target, std::string& error) override {
    std::string detail = std::to_string(target.tunnelInterface) + " owner " + std::to_string(target.owner);
    for (const std::u16string& name : target.gameNames) detail += " " + std::string(name.begin(), name.end());
    const std::uint32_t result = log.Record("steer", detail);
    if (result != 0) error = "steer_failed_" + std::to_string(result);
    return running = result == 0;
  }
  void Stop() override {
    log.Record("steer stop");
    running = false;
  }
  bool Intact() override { return running; }  // a test takes what it laid down away by clearing `running`
  void SetGameProcesses(const std::vector<std::uint32_t>& ids) override {
    std::string detail;
    for (const std::uint32_t id : ids) detail += " " + std::to_string(id);
    log.Record("ids" + detail);
  }
  bool TakePendingFlow(PendingFlow& flow) override {
    const std::lock_guard guard(lock);
    if (pending.empty()) return false;
    flow = pending.front();
    pending.pop_front();
    return true;
  }
  void AnswerFlow(const PendingFlow& flow, bool routed) override {
    log.Record("verdict " + std::to_string(routed) + " " + std::to_string(flow.flowId));
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
  TestLog& log;
  std::mutex lock;
  std::condition_variable changed;
  ProcessTable processes;
  std::deque<PendingFlow> pending;
  bool lookFails = false;
  int looks = 0;
};

}  // namespace zv::test

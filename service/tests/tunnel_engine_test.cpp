// The tunnel engine over in-memory fakes of its three interfaces: the
// bring-up's steps in order and their undo, every failure's code, the one
// acceleration state, the repair of a held tunnel over time, and the record a
// restarted service undoes. Keys go through the Linux decoder.
#include "wireguard_tunnel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "fake_game_steering.h"
#include "fake_route_table.h"
#include "fake_tunnel_device.h"

namespace zv {
namespace {

using test::Calls;

constexpr char kPrivateKey[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";  // bytes 1..32
constexpr char kServerKey[] = "gIGCg4SFhoeIiYqLjI2Oj5CRkpOUlZaXmJmam5ydnp8=";   // bytes 0x80..0x9f
constexpr char kEndpointRoute[] = "main 198.51.100.7/32 via 192.0.2.1 on 7";

struct Members {
  std::string privateKey = kPrivateKey;
  std::string assignedIp = "10.240.0.2/32";
  std::string serverKey = kServerKey;
  std::string endpoint = "198.51.100.7:51820";
  std::string routeMode;
  std::string allowedIps = R"(["0.0.0.0/0","2001:db8::/32"])";
  std::string gameProcesses = R"(["game.exe"])";
};

std::string Body(const Members& m) {
  return R"({"private_key":")" + m.privateKey + R"(","assigned_ip":")" + m.assignedIp +
         R"(","server_public_key":")" + m.serverKey + R"(","endpoint":")" + m.endpoint + R"(","route_mode":")" +
         m.routeMode + R"(","allowed_ips":)" + m.allowedIps + R"(,"game_processes":)" + m.gameProcesses + "}";
}

struct Rig {
  explicit Rig(std::filesystem::path record = {})
      : tunnel(device, routes, split, std::move(record), [this] { return now; }) {
    device.onClose = [this](std::uint64_t id) { routes.DropInterface(id); };
  }
  std::string Start(const Members& members) {
    std::string error;
    return tunnel.BringUp(Body(members), 1000, error) ? "started" : error;
  }
  std::string Stop() {
    std::string error;
    return tunnel.TearDown(error) ? "stopped" : error;
  }
  void ExpectNothingLeft(const std::multiset<std::string>& routesBefore, const std::string& label) {
    EXPECT_FALSE(device.exists) << label;
    EXPECT_EQ(routes.routes, routesBefore) << label;
    EXPECT_TRUE(routes.addresses.empty()) << label;
    EXPECT_FALSE(routes.tunnelTableInUse) << label;
    EXPECT_FALSE(steering.running) << label;
    EXPECT_EQ(tunnel.State().phase, TunnelPhase::Idle) << label;
  }

  test::TestLog log;
  test::FakeTunnelDevice device{log};
  test::FakeRouteTable routes{log};
  test::FakeGameSteering steering{log};
  SmartSplitEngine split{steering, routes};
  UpkeepClock::time_point now{};
  WireGuardTunnel tunnel;
};

Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(TunnelEngine, BringUpRunsEveryStepInOrderAndStopUndoesIt) {
  struct Row {
    const char* name;
    Members request;
    const char* peer;  // the configured endpoint, keepalive and allowed networks
    Calls routes;      // tunnel routes, in order
    const char* steer = nullptr;
    const char* endpointRoute = kEndpointRoute;
    bool existing = false;  // the endpoint route, a tunnel route and the address are there already
  };
  const Row rows[] = {
      {"full routing", {}, "198.51.100.7:51820 keepalive 25 peer 0.0.0.0/0 2001:db8::/32 10.240.0.1/32",
       {"tunnel 0.0.0.0/0 on 101", "tunnel 2001:db8::/32 on 101", "tunnel 10.240.0.1/32 on 101"}},
      {"split routing keeps narrow IPv4 routes",
       {.routeMode = "process-beta",
        .allowedIps = R"(["0.0.0.0/0","203.0.113.0/24","198.51.0.0/16","2001:db8::/32","198.0.0.0/8"])",
        .gameProcesses = R"(["Game.exe","launcher.exe"])"},
       "198.51.100.7:51820 keepalive 25 peer 0.0.0.0/0 10.240.0.1/32",
       {"tunnel 203.0.113.0/24 on 101", "tunnel 198.51.0.0/16 on 101", "tunnel 10.240.0.1/32 on 101"},
       "steer 101 owner 1000 game.exe launcher.exe"},
      {"PROCESS-BETA is full routing", {.routeMode = "PROCESS-BETA", .allowedIps = R"(["198.0.0.0/8"])"},
       "198.51.100.7:51820 keepalive 25 peer 198.0.0.0/8 10.240.0.1/32",
       {"tunnel 198.0.0.0/8 on 101", "tunnel 10.240.0.1/32 on 101"}},
      // A system refuses host bits in a route's destination; the peer keeps the prefix as written.
      {"routes are networks", {.allowedIps = R"(["10.1.2.3/8","2001:db8::1/32"])"},
       "198.51.100.7:51820 keepalive 25 peer 10.1.2.3/8 2001:db8::1/32 10.240.0.1/32",
       {"tunnel 10.0.0.0/8 on 101", "tunnel 2001:db8::/32 on 101", "tunnel 10.240.0.1/32 on 101"}},
      {"an IPv6 endpoint splits at its last colon; its host route has no port",
       {.endpoint = "2001:db8::1:51820", .allowedIps = R"(["10.0.0.0/8"])"},
       "2001:db8::1:51820 keepalive 25 peer 10.0.0.0/8 10.240.0.1/32",
       {"tunnel 10.0.0.0/8 on 101", "tunnel 10.240.0.1/32 on 101"}, nullptr, "main 2001:db8::1/128 via fe80::1 on 7"},
      {"objects that exist already are used but not owned", {},
       "198.51.100.7:51820 keepalive 25 peer 0.0.0.0/0 2001:db8::/32 10.240.0.1/32",
       {"tunnel 0.0.0.0/0 on 101", "tunnel 2001:db8::/32 on 101", "tunnel 10.240.0.1/32 on 101"}, nullptr,
       kEndpointRoute, true},
  };
  for (const Row& row : rows) {
    Rig rig;
    std::multiset<std::string> before;
    if (row.existing) {
      before = {kEndpointRoute};
      rig.routes.routes = {kEndpointRoute, "tunnel 0.0.0.0/0 on 101"};
      rig.routes.addresses = {"10.240.0.2/32 on 101"};
    }
    EXPECT_EQ(rig.Start(row.request), "started") << row.name;
    Calls routes;
    for (const std::string& route : row.routes) routes.push_back("add " + route);
    const std::string endpoint = std::string(row.endpointRoute).substr(5, std::string(row.endpointRoute).find('/') - 5);
    EXPECT_EQ(rig.log.Since(0), Join({{"create", std::string("configure ") + row.peer, "best path " + endpoint,
                                       std::string("add ") + row.endpointRoute, "address 10.240.0.2/32 on 101",
                                       "use tunnel table"},
                                      routes,
                                      {"raise"},
                                      row.steer ? Calls{"steer stop", row.steer} : Calls{}}))
        << row.name;
    EXPECT_EQ(rig.device.configuredKey[0], 1) << "the request's own key: " << row.name;
    EXPECT_EQ(rig.device.configuredKey[31], 32) << row.name;
    EXPECT_EQ(rig.tunnel.State().phase, TunnelPhase::Up) << row.name;

    const std::size_t stopAt = rig.log.Size();
    EXPECT_EQ(rig.Stop(), "stopped") << row.name;
    const Calls dropEndpoint = row.existing ? Calls{} : Calls{std::string("remove ") + row.endpointRoute};
    EXPECT_EQ(rig.log.Since(stopAt), Join({{"steer stop", "release", "leave tunnel table"}, dropEndpoint})) << row.name;
    rig.ExpectNothingLeft(before, row.name);
  }
}

TEST(TunnelEngine, EveryFailureAnswersItsCodeAndLeavesNothingBehind) {
  const std::string dropEndpoint = std::string("remove ") + kEndpointRoute;
  std::string manyGames = "[";
  for (int i = 0; i <= 128; ++i) manyGames += (i ? ",\"" : "\"") + std::to_string(i) + ".exe\"";
  struct Row {
    std::string code;
    Members request = {};
    const char* failing = nullptr;  // this call fails: a device step with `code`, else with `result`
    std::uint32_t result = 0;
    int nth = 0;
    Calls tail = {};  // the last calls, where their order matters
  };
  const Row rows[] = {
      {"invalid_tunnel_config", {.allowedIps = "[]"}},
      {"invalid_tunnel_config", {.privateKey = ""}},
      // A control character would cut the text short where the system reads it: "/24" alone.
      {"invalid_tunnel_config", {.allowedIps = R"(["10.0.0.0/24\u0000junk"])"}},
      {"invalid_tunnel_config", {.endpoint = "198.51.100.7:51820\n"}},
      {"smart_split_process_rules_too_many", {.routeMode = "process-beta", .gameProcesses = manyGames + "]"}},
      {"create_adapter_failed_5", {}, "create"},
      {"invalid_allowed_ip", {.allowedIps = R"(["10.0.0.0/33"])"}, nullptr, 0, 0, {"create", "abandon",
                                                                                  "leave tunnel table"}},
      {"invalid_allowed_ip", {.routeMode = "process-beta", .allowedIps = R"(["0.0.0.0/0","::/129"])"}},
      // Only the canonical text of 32 bytes is a key.
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHw=="}},  // 31
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyB="}},  // spare bits
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA"}},   // no pad
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRob-B0eHyA="}},
      {"invalid_server_public_key", {.serverKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyAh"}},  // 33
      {"invalid_endpoint", {.endpoint = ":51820"}},
      {"invalid_endpoint", {.endpoint = "198.51.100.7:0"}},
      {"invalid_endpoint", {.endpoint = "198.51.100.7:65536"}},
      {"invalid_endpoint", {.endpoint = "198.51.100.7"}},
      {"set_tunnel_config_failed_87", {}, "configure"},
      {"resolve_endpoint_route_failed_1232", {}, "best path", 1232},
      {"create_endpoint_route_failed_5", {}, "add", 5, 1},
      {"configure_address_failed_87", {}, "address", 87},
      {"configure_route_failed_22", {}, "use tunnel table", 22},
      {"invalid_assigned_address", {.assignedIp = "fd00::2/64"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/x"}, nullptr, 0, 0,
       {"abandon", "leave tunnel table", dropEndpoint}},
      // Lengths the system would cut to their low 8 bits (32) or read past, and
      // addresses no interface may carry: a /0 would make every destination on-link.
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/4294967296"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/288"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/32junk"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/33"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/0"}},
      {"invalid_assigned_address", {.assignedIp = "224.0.0.5/32"}},
      {"invalid_assigned_address", {.assignedIp = "127.0.0.1/8"}},
      {"configure_route_failed_160", {}, "add", 160, 4,
       {"add tunnel 2001:db8::/32 on 101", "add tunnel 10.240.0.1/32 on 101", "abandon", "leave tunnel table",
        dropEndpoint}},
      {"start_adapter_failed_31", {}, "raise", 0, 0, {"raise", "abandon", "leave tunnel table", dropEndpoint}},
      {"smart_split_driver_unavailable_2", {.routeMode = "process-beta"}, "steer", 0, 0,
       {"steer stop", "steer 101 owner 1000 game.exe", "abandon", "leave tunnel table", dropEndpoint}},
      {"smart_split_process_rules_empty", {.routeMode = "process-beta", .gameProcesses = "[\"\",\"\xff\"]"}},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.steering.nameLimit = 128;
    const std::string label = row.code + " " + Body(row.request);
    if (row.failing && std::string_view(row.failing) == "steer") rig.steering.startError = row.code;
    else if (row.failing && row.result == 0) rig.device.failing[row.failing] = row.code;
    else if (row.failing) rig.log.Fail(row.failing, row.result, row.nth);
    EXPECT_EQ(rig.Start(row.request), row.code) << label;
    const Calls calls = rig.log.Since(0);
    if (row.code == "invalid_tunnel_config" || row.code.ends_with("too_many")) {
      EXPECT_TRUE(calls.empty()) << "nothing made: " << label;
    } else if (row.code.starts_with("invalid_")) {
      EXPECT_EQ(std::count(calls.begin(), calls.end(), "abandon"), 1) << label;
    }
    if (!row.tail.empty() && calls.size() >= row.tail.size()) {
      EXPECT_EQ(Calls(calls.end() - static_cast<long>(row.tail.size()), calls.end()), row.tail) << label;
    }
    rig.ExpectNothingLeft({}, label);
  }
}

// Failed requests change nothing, in any phase: a second start leaves the held
// tunnel as it is, and a stop that cannot close the adapter leaves it running.
TEST(TunnelEngine, OnlyASuccessfulStartOrStopMovesTheState) {
  Rig rig;
  ASSERT_EQ(rig.Start({.routeMode = "process-beta"}), "started");
  const std::size_t before = rig.log.Size();
  EXPECT_EQ(rig.Start({}), "tunnel_already_running");
  EXPECT_EQ(rig.Start({.allowedIps = "[]"}), "tunnel_already_running") << "not even read";
  EXPECT_TRUE(rig.log.Since(before).empty());
  rig.device.failing["release"] = "embedded_tunnel_api_invalid";
  EXPECT_EQ(rig.Stop(), "embedded_tunnel_api_invalid");
  EXPECT_EQ(rig.log.Since(before).front(), "steer stop") << "the split stops first, in any case";
  EXPECT_EQ(rig.tunnel.State().phase, TunnelPhase::Up);
  EXPECT_TRUE(rig.device.exists);
  rig.device.failing.clear();
  EXPECT_EQ(rig.Stop(), "stopped");
  rig.ExpectNothingLeft({}, "stopped once it can be");
  EXPECT_EQ(rig.Stop(), "stopped") << "stopping an idle tunnel succeeds";
}

// The upkeep over time: each step changes the system, runs the upkeep at its
// instant and checks when it wants to run again, the calls that changed
// something, and the state. The network news is the fake's: wine does not
// implement Windows' notifications, so this is where their policy is tested.
TEST(TunnelEngine, AHeldTunnelFollowsThePathAndIsRepairedUntilItIsStopped) {
  using Change = std::function<void(Rig&)>;
  const Change quiet;
  const auto add = [](const char* route, std::uint32_t metric, bool usable = true) {
    return Change([=](Rig& rig) { rig.routes.paths.push_back({route, metric, usable}); });
  };
  const Change dropAdded = [](Rig& rig) { rig.routes.paths.resize(1); };
  const Change uplinkDown = [](Rig& rig) { rig.routes.paths.clear(); };
  const Change vanish = [](Rig& rig) { rig.device.vanished = true; };
  const Change helperCannotStart = [](Rig& rig) {
    rig.device.vanished = true;
    rig.device.failing["create"] = "create_adapter_failed_17";
  };
  const Change helperCanStart = [](Rig& rig) { rig.device.failing.clear(); };
  const Change refusedStart = [](Rig& rig) { EXPECT_EQ(rig.Start({.allowedIps = "[]"}), "tunnel_already_running"); };
  const Change stop = [](Rig& rig) { EXPECT_EQ(rig.Stop(), "stopped"); };
  const std::string ours = std::string("add ") + kEndpointRoute, dropOurs = std::string("remove ") + kEndpointRoute;
  const Calls rebuilt = {"steer stop", "release", dropOurs, "create", ours};
  const Calls retried = {"steer stop", "create"};
  constexpr auto kUp = TunnelPhase::Up, kRepairing = TunnelPhase::Repairing;
  struct Step {
    int at;  // ms after the start
    Change change;
    bool news;
    std::optional<int> wake;  // ms until it wants to run again
    Calls calls;
    TunnelPhase phase = kUp;
    const char* reason = "";
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    Members request = {};
  };
  const Row rows[] = {
      {"a burst of news is acted on once, after it settles; the counters are read each second",
       {{0, quiet, true, 100, {}}, {60, quiet, true, 40, {}}, {99, quiet, false, 1, {}},
        {100, quiet, false, 900, {"paths to 198.51.100.7"}}, {1000, quiet, false, 1000, {}}}},
      {"the pin moves to a better path and back when it goes",
       {{0, add("0.0.0.0/0 via 192.0.2.9 on 8", 5), true, 100, {}},
        {100, quiet, false, 900, {"paths to 198.51.100.7", dropOurs, "add main 198.51.100.7/32 via 192.0.2.9 on 8"}},
        {500, dropAdded, true, 100, {}},
        {600, quiet, false, 400, {"paths to 198.51.100.7", "remove main 198.51.100.7/32 via 192.0.2.9 on 8", ours}}}},
      {"a longer prefix wins over a lower metric; an unusable path never does",
       {{0, add("198.51.0.0/16 via 192.0.2.3 on 9", 50), true, 100, {}},
        {10, add("198.51.100.0/24 via 192.0.2.4 on 10", 1, false), true, 90, {}},
        {100, quiet, false, 900, {"paths to 198.51.100.7", dropOurs, "add main 198.51.100.7/32 via 192.0.2.3 on 9"}}}},
      {"without any path it is repairing, and up again when one comes",
       {{0, uplinkDown, true, 100, {}},
        {100, quiet, false, std::nullopt, {"paths to 198.51.100.7"}, kRepairing, "no_path"},
        {200, add("0.0.0.0/0 via 192.0.2.5 on 9", 10), true, 100, {}, kRepairing, "no_path"},
        {300, quiet, false, 1000, {"paths to 198.51.100.7", dropOurs, "add main 198.51.100.7/32 via 192.0.2.5 on 9"}}}},
      {"a host route someone else made is the path: ours goes, and comes back after it",
       {{0, add("198.51.100.7/32 via 192.0.2.7 on 9", 0), true, 100, {}},
        {100, quiet, false, 900, {"paths to 198.51.100.7", dropOurs}},
        {200, dropAdded, true, 100, {}},
        {300, quiet, false, 700, {"paths to 198.51.100.7", ours}}}},
      {"a vanished adapter is built again at once from the same request, split and all",
       {{0, vanish, true, 100, {}},
        {100, quiet, false, 1000, Join({rebuilt, {"steer stop", "steer 102 owner 1000 game.exe"}})}},
       {.routeMode = "process-beta"}},
      {"rebuilds soon after the last wait 1, 2, 4 s; a minute on they are at once again",
       {{0, vanish, true, 100, {}},
        {100, quiet, false, 1000, rebuilt},
        {500, vanish, true, 100, {}},
        {600, quiet, false, 500, {}, kRepairing, "adapter_gone"},
        {1100, quiet, false, 1000, rebuilt},
        {1500, vanish, true, 100, {}},
        {1600, quiet, false, 1500, {}, kRepairing, "adapter_gone"},
        {3100, quiet, false, 1000, rebuilt},
        {70000, vanish, true, 100, {}},
        {70100, quiet, false, 1000, rebuilt}}},
      {"a helper that cannot start is tried for as long as it takes, at most 30 s apart; a refused start "
       "meanwhile changes nothing",
       {{0, helperCannotStart, true, 100, {}},
        {100, quiet, false, 1000, {"steer stop", "release", dropOurs, "create"}, kRepairing, "create_adapter_failed_17"},
        {1100, quiet, false, 2000, retried, kRepairing, "create_adapter_failed_17"},
        {3100, quiet, false, 4000, retried, kRepairing, "create_adapter_failed_17"},
        {5000, refusedStart, false, 2100, {}, kRepairing, "create_adapter_failed_17"},
        {7100, quiet, false, 8000, retried, kRepairing, "create_adapter_failed_17"},
        {15100, quiet, false, 16000, retried, kRepairing, "create_adapter_failed_17"},
        {31100, quiet, false, 30000, retried, kRepairing, "create_adapter_failed_17"},
        {61100, quiet, false, 30000, retried, kRepairing, "create_adapter_failed_17"},
        {70000, helperCanStart, false, 21100, {}, kRepairing, "create_adapter_failed_17"},
        {91100, quiet, false, 1000, {"steer stop", "create", ours}}}},
      {"a stop while a rebuild waits ends it",
       {{0, helperCannotStart, true, 100, {}},
        {100, quiet, false, 1000, {"steer stop", "release", dropOurs, "create"}, kRepairing, "create_adapter_failed_17"},
        {500, stop, false, std::nullopt, {"steer stop"}, TunnelPhase::Idle},
        {1100, quiet, true, std::nullopt, {}, TunnelPhase::Idle}}},
  };
  const auto changing = [](const std::string& call) {
    for (const char* kind : {"paths to", "remove main", "add main", "create", "release", "steer"}) {
      if (call.starts_with(kind)) return call;
    }
    return std::string();
  };
  for (const Row& row : rows) {
    Rig rig;
    ASSERT_EQ(rig.Start(row.request), "started") << row.name;
    const UpkeepClock::time_point start = rig.now;
    for (const Step& step : row.steps) {
      const std::string label = std::string(row.name) + " at " + std::to_string(step.at) + " ms";
      const std::size_t from = rig.log.Size();
      rig.now = start + std::chrono::milliseconds(step.at);
      if (step.change) step.change(rig);
      const auto wake = rig.tunnel.Upkeep(step.news, rig.now);
      EXPECT_EQ(wake ? std::optional<int>(static_cast<int>(wake->count())) : std::nullopt, step.wake) << label;
      Calls calls;
      for (const std::string& call : rig.log.Since(from)) {
        if (const std::string kept = changing(call); !kept.empty()) calls.push_back(kept);
      }
      EXPECT_EQ(calls, step.calls) << label;
      EXPECT_EQ(rig.tunnel.State().phase, step.phase) << label;
      EXPECT_EQ(rig.tunnel.State().reason, step.reason) << label;
    }
    EXPECT_EQ(rig.Stop(), "stopped") << row.name;
    rig.ExpectNothingLeft({}, row.name);
  }
}

// What the peer's counters say reaches the state each second, and each
// coming-up counts anew, so the echoes of a repaired tunnel start afresh.
TEST(TunnelEngine, TheStateKnowsWhenTheNodeWasLastHeard) {
  Rig rig;
  ASSERT_EQ(rig.Start({}), "started");
  const UpkeepClock::time_point start = rig.now;
  const std::uint64_t firstUp = rig.tunnel.State().ups;
  EXPECT_FALSE(rig.tunnel.State().heard);
  rig.device.activity = {std::chrono::seconds(3), 148};
  rig.now = start + std::chrono::seconds(1);
  rig.tunnel.Upkeep(false, rig.now);
  EXPECT_EQ(rig.tunnel.State().heard, rig.now) << "bytes came in";
  EXPECT_EQ(rig.tunnel.State().handshake, rig.now - std::chrono::seconds(3));
  rig.now = start + std::chrono::seconds(2);
  rig.tunnel.Upkeep(false, rig.now);
  EXPECT_EQ(rig.tunnel.State().heard, start + std::chrono::seconds(1)) << "the counter stood still";
  rig.device.vanished = true;
  rig.tunnel.Upkeep(true, rig.now);
  rig.tunnel.Upkeep(false, rig.now + kUpkeepSettle);
  EXPECT_EQ(rig.tunnel.State().phase, TunnelPhase::Up);
  EXPECT_EQ(rig.tunnel.State().ups, firstUp + 1) << "rebuilt: a new tunnel to measure";
  EXPECT_FALSE(rig.tunnel.State().heard) << "nothing heard of the new one yet";
}

// A service killed at any instant is undone by the next from its record: at
// the moment each endpoint route is created, and once the pin has moved.
TEST(TunnelEngine, EveryEndpointRouteIsOnRecordBeforeItExistsAndARestartUndoesIt) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "zv-record";
  std::filesystem::create_directories(folder);
  Rig rig(folder / "tunnel");
  // What a restarted service would remove were this one killed now.
  const auto removedAfterAKill = [&] {
    std::filesystem::copy_file(folder / "tunnel", folder / "as-killed", std::filesystem::copy_options::overwrite_existing);
    Rig restarted(folder / "as-killed");
    EXPECT_TRUE(restarted.tunnel.RecoverStaleState());
    EXPECT_FALSE(std::filesystem::exists(folder / "as-killed"));
    return restarted.log.Since(0);
  };
  Calls atCreation;
  rig.routes.beforeAdd = [&](const std::string& route) {
    if (!route.starts_with("main ")) return;
    const Calls removed = removedAfterAKill();
    atCreation.push_back(route + (std::count(removed.begin(), removed.end(), "remove " + route) ? "" : " unrecorded"));
  };
  ASSERT_EQ(rig.Start({}), "started");
  rig.routes.paths.push_back({"0.0.0.0/0 via 192.0.2.9 on 8", 5});
  rig.tunnel.Upkeep(true, {});
  rig.tunnel.Upkeep(false, UpkeepClock::time_point{} + kUpkeepSettle);
  rig.routes.beforeAdd = nullptr;
  EXPECT_EQ(atCreation, (Calls{kEndpointRoute, "main 198.51.100.7/32 via 192.0.2.9 on 8"}));
  EXPECT_EQ(removedAfterAKill(), (Calls{"steer stop", "leave tunnel table", "remove stale 1",
                                        "remove main 198.51.100.7/32 via 192.0.2.9 on 8"}))
      << "the helper recorded, and the moved pin rather than the route it moved from";

  rig.routes.paths.push_back({"198.51.100.7/32 via 192.0.2.7 on 9", 0});  // someone else's
  rig.tunnel.Upkeep(true, UpkeepClock::time_point{} + std::chrono::seconds(1));
  rig.tunnel.Upkeep(false, UpkeepClock::time_point{} + std::chrono::seconds(1) + kUpkeepSettle);
  const Calls afterYielding = removedAfterAKill();
  EXPECT_EQ(std::count_if(afterYielding.begin(), afterYielding.end(),
                          [](const std::string& call) { return call.starts_with("remove main"); }),
            0)
      << "a route the service yielded to is not its own";
  EXPECT_EQ(rig.Stop(), "stopped");
  EXPECT_FALSE(std::filesystem::exists(folder / "tunnel")) << "a clean stop leaves no record";
  EXPECT_FALSE(Rig(folder / "tunnel").tunnel.RecoverStaleState());
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace zv

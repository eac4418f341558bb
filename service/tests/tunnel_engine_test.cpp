// The tunnel engine over in-memory fakes of its three interfaces, judged by
// what the system would hold after each step: the peer, the routes and
// addresses, the steering; every failure's code with nothing left behind; the
// repair of a held tunnel over time; the record a restarted service undoes;
// then the smart split's tracker. Keys go through the Linux decoder.
#include "wireguard_tunnel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "fake_platform.h"
#include "split_rules.h"

namespace zv {
namespace {

using test::Members;
using Routes = std::multiset<std::string>;

constexpr char kEndpointRoute[] = "main 198.51.100.7/32 via 192.0.2.1 on 7";

struct Rig {
  explicit Rig(std::filesystem::path record = {})
      : tunnel(device, routes, split, std::move(record), [this] { return now; }, false) {
    device.onClose = [this](std::uint64_t id) { routes.DropInterface(id); };
  }
  std::string Start(const Members& members) { return test::Start(tunnel, members, 1000); }
  std::string Stop() { return test::Stop(tunnel); }
  void ExpectNothingLeft(const Routes& routesBefore, const std::string& label) {
    EXPECT_FALSE(device.exists) << label;
    EXPECT_EQ(routes.routes, routesBefore) << label;
    EXPECT_TRUE(routes.addresses.empty()) << label;
    EXPECT_FALSE(routes.tunnelTableInUse) << label;
    EXPECT_FALSE(steering.running) << label;
    EXPECT_EQ(tunnel.State().phase, TunnelPhase::Idle) << label;
  }

  test::Faults faults;
  test::FakeTunnelDevice device{faults};
  test::FakeRouteTable routes{faults};
  test::FakeGameSteering steering{faults};
  SmartSplitEngine split{steering};
  UpkeepClock::time_point now{};
  WireGuardTunnel tunnel;
};

// Every peer and every route list ends with the node's own address, 10.240.0.1/32.
TEST(TunnelEngine, AStartBuildsTheTunnelItAsksForAndAStopLeavesTheSystemAsItWas) {
  struct Row {
    const char* name;
    Members request;
    const char* peer;  // the networks configured for the peer
    Routes tunnelRoutes;
    std::vector<std::string> steered = {};  // the game's names, folded
    std::string endpointRoute = kEndpointRoute;
    bool existing = false;  // the endpoint route, a tunnel route and the address are there already
  };
  const Row rows[] = {
      {"full routing", {}, "0.0.0.0/0 2001:db8::/32", {"0.0.0.0/0", "2001:db8::/32"}},
      {"split routing keeps narrow IPv4 routes",
       {.routeMode = "process-beta",
        .allowedIps = R"(["0.0.0.0/0","203.0.113.0/24","198.51.0.0/16","2001:db8::/32","198.0.0.0/8"])",
        .gameProcesses = "[\"Game.exe\",\"ÜBERGAME.EXE\",\"\",\"\xff\"]"},
       "0.0.0.0/0", {"203.0.113.0/24", "198.51.0.0/16"}, {"game.exe", "übergame.exe"}},
      {"PROCESS-BETA is full routing", {.routeMode = "PROCESS-BETA", .allowedIps = R"(["198.0.0.0/8"])"},
       "198.0.0.0/8", {"198.0.0.0/8"}},
      {"an IPv6 endpoint splits at its last colon", {.endpoint = "2001:db8::1:51820", .allowedIps = R"(["10.0.0.0/8"])"},
       "10.0.0.0/8", {"10.0.0.0/8"}, {}, "main 2001:db8::1/128 via fe80::1 on 7"},
      {"objects that exist already are used but not owned", {}, "0.0.0.0/0 2001:db8::/32",
       {"0.0.0.0/0", "2001:db8::/32"}, {}, kEndpointRoute, true},
  };
  for (const Row& row : rows) {
    Rig rig;
    Routes before;
    if (row.existing) {
      before = {kEndpointRoute};
      rig.routes.routes = {kEndpointRoute, "tunnel 0.0.0.0/0 on 101"};
      rig.routes.addresses = {"10.240.0.2/32 on 101"};
    }
    ASSERT_EQ(rig.Start(row.request), "started") << row.name;
    EXPECT_EQ(rig.device.peer, row.request.endpoint + " keepalive 25 " + row.peer + " 10.240.0.1/32") << row.name;
    Routes expected = {row.endpointRoute, "tunnel 10.240.0.1/32 on 101"};
    for (const std::string& route : row.tunnelRoutes) expected.insert("tunnel " + route + " on 101");
    EXPECT_EQ(rig.routes.routes, expected) << row.name;
    EXPECT_EQ(rig.routes.addresses, Routes{"10.240.0.2/32 on 101"}) << row.name;
    EXPECT_TRUE(rig.device.raised && rig.routes.tunnelTableInUse) << row.name;
    EXPECT_EQ(rig.steering.running, !row.steered.empty()) << row.name;
    if (rig.steering.running) {
      EXPECT_EQ(rig.steering.target.gameNames, row.steered) << row.name;
      EXPECT_EQ(rig.steering.target.owner, 1000u) << row.name;
    }
    EXPECT_EQ(rig.tunnel.State().phase, TunnelPhase::Up) << row.name;
    EXPECT_EQ(rig.Stop(), "stopped") << row.name;
    rig.ExpectNothingLeft(before, row.name);
  }
}

// The adapter's own codes (Windows' library, its block, its state) are the
// Windows implementations' to prove, through this same engine.
TEST(TunnelEngine, EveryFailureAnswersItsCodeAndLeavesNothingBehind) {
  std::string manyGames = "[";
  for (std::size_t i = 0; i <= kMaxGameNames; ++i) manyGames += (i ? ",\"" : "\"") + std::to_string(i) + ".exe\"";
  struct Row {
    std::string code;
    Members request = {};
    const char* failing = nullptr;  // this call answers `result`
    std::uint32_t result = 0;
    int nth = 0;
  };
  std::vector<Row> rows = {
      {"invalid_tunnel_config", {.allowedIps = "[]"}},
      {"invalid_tunnel_config", {.privateKey = ""}},
      // A control character would cut the text short where the system reads it: "/24" alone.
      {"invalid_tunnel_config", {.allowedIps = R"(["10.0.0.0/24\u0000junk"])"}},
      {"invalid_tunnel_config", {.endpoint = "198.51.100.7:51820\n"}},
      {"smart_split_process_rules_too_many", {.routeMode = "process-beta", .gameProcesses = manyGames + "]"}},
      {"create_failed_5", {}, "create", 5},
      {"invalid_allowed_ip", {.allowedIps = R"(["10.0.0.0/33"])"}},
      {"invalid_allowed_ip", {.routeMode = "process-beta", .allowedIps = R"(["0.0.0.0/0","::/129"])"}},
      {"invalid_server_public_key", {.serverKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyAh"}},  // 33 bytes
      {"configure_failed_87", {}, "configure", 87},
      {"resolve_endpoint_route_failed_1232", {}, "best path", 1232},
      {"create_endpoint_route_failed_5", {}, "add", 5, 1},
      {"configure_address_failed_87", {}, "address", 87},
      {"configure_route_failed_22", {}, "use tunnel table", 22},
      {"configure_route_failed_160", {}, "add", 160, 4},
      {"raise_failed_31", {}, "raise", 31},
      {"steer_failed_2", {.routeMode = "process-beta"}, "steer", 2},
      // No name is left once the empty ones and those that are no UTF-8 are dropped.
      {"smart_split_process_rules_empty",
       {.routeMode = "process-beta", .gameProcesses = "[\"\",\"\xff\",\"\xc3\x28\",\"\xed\xa0\x80x.exe\"]"}},
  };
  // Only the canonical text of 32 bytes is a key: 31 bytes, spare bits set, no pad, a foreign character.
  for (const char* key : {"AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHw==", "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyB=",
                          "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA", "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRob-B0eHyA="}) {
    rows.push_back({"invalid_private_key", {.privateKey = key}});
  }
  for (const char* endpoint : {":51820", "198.51.100.7:0", "198.51.100.7:65536", "198.51.100.7:051820", "198.51.100.7"}) {
    rows.push_back({"invalid_endpoint", {.endpoint = endpoint}});
  }
  // Lengths the system would cut to their low 8 bits or read past, lengths
  // written with a leading zero, networks too wide to be a tunnel's (below /8),
  // the network's own first and last address, addresses no interface may carry.
  for (const char* address : {"fd00::2/64", "10.240.0.2/4294967296", "10.240.0.2/288", "10.240.0.2/32junk",
                              "10.240.0.2/33", "10.240.0.2/032", "10.240.0.2/7", "10.240.0.0/24", "10.240.0.255/24",
                              "224.0.0.5/32", "127.0.0.1/8", "10.240.0.2/x"}) {
    rows.push_back({"invalid_assigned_address", {.assignedIp = address}});
  }
  for (const Row& row : rows) {
    Rig rig;
    const std::string label = row.code + " " + test::Body(row.request);
    if (row.failing) rig.faults.Fail(row.failing, row.result, row.nth);
    EXPECT_EQ(rig.Start(row.request), row.code) << label;
    EXPECT_LE(rig.device.made, row.code == "invalid_tunnel_config" || row.code.ends_with("too_many") ? 0 : 1) << label;
    rig.ExpectNothingLeft({}, label);
  }
  // The widest and the narrowest networks a tunnel's address may have.
  for (const char* address : {"10.0.0.1/8", "10.240.0.3/31", "10.240.0.2/32"}) {
    Rig rig;
    EXPECT_EQ(rig.Start({.assignedIp = address}), "started") << address;
  }
}

// The upkeep over time: each step changes the system, runs the upkeep at its
// instant, and checks when it wants to run again and what the system holds:
// our route to the endpoint, how many adapters were made, the state. The
// network news is the fake's: wine does not implement Windows' notifications,
// so this is where their policy is tested. Failed requests change nothing in
// any phase, and only a stop that closes the adapter ends the tunnel.
TEST(TunnelEngine, AHeldTunnelFollowsThePathAndIsRepairedUntilItIsStopped) {
  using Change = std::function<void(Rig&)>;
  const Change quiet;
  const auto add = [](const char* route, std::uint32_t metric, bool usable = true) {
    return Change([=](Rig& rig) { rig.routes.paths.push_back({route, metric, usable}); });
  };
  const Change dropAdded = [](Rig& rig) { rig.routes.paths.resize(1); };
  const Change uplinkDown = [](Rig& rig) { rig.routes.paths.clear(); };
  const Change vanish = [](Rig& rig) { rig.device.vanished = true; };
  const Change addressLost = [](Rig& rig) { rig.routes.DropInterface(7); };  // and back, on the same path
  const Change rulesTaken = [](Rig& rig) { rig.routes.tunnelTableInUse = false; };
  const Change splitRulesTaken = [](Rig& rig) { rig.steering.running = false; };
  const Change helperCannotStart = [](Rig& rig) { rig.device.vanished = true, rig.faults.Fail("create", 17); };
  const Change helperCanStart = [](Rig& rig) { rig.faults.Fail("create", 0); };
  const Change refusedStart = [](Rig& rig) { EXPECT_EQ(rig.Start({.allowedIps = "[]"}), "tunnel_already_running"); };
  const Change refusedStop = [](Rig& rig) {
    rig.faults.Fail("release", 9, 1);
    EXPECT_EQ(rig.Stop(), "release_failed_9");
  };
  const Change stop = [](Rig& rig) { EXPECT_EQ(rig.Stop(), "stopped"); };
  const Change counters = [](Rig& rig) { rig.device.activity = PeerActivity{std::chrono::seconds(3), 148}; };
  const Change unreadable = [](Rig& rig) { rig.device.activity.reset(); };
  // When the node was last heard and its handshake, in ms from the start (-1: never), and how many tunnels came up.
  const auto heard = [](int heardMs, int handshakeMs, std::uint64_t ups) {
    const auto at = [](int ms) {
      return ms < 0 ? std::nullopt : std::optional(UpkeepClock::time_point{} + std::chrono::milliseconds(ms));
    };
    return Change([=](Rig& rig) {
      EXPECT_EQ(rig.tunnel.State().heard, at(heardMs));
      EXPECT_EQ(rig.tunnel.State().handshake, at(handshakeMs));
      EXPECT_EQ(rig.tunnel.State().ups, ups);
    });
  };
  // Whether the state tells that the game ran before the user's start; and a game that starts now.
  const auto gameBefore = [](bool told) {
    return Change([=](Rig& rig) { EXPECT_EQ(rig.tunnel.State().gameBeforeStart, told); });
  };
  const Change gameStarts = [](Rig& rig) { rig.steering.SetTable({{42, "game.exe"}}); };
  // Built whole again: the adapter, its routes and the split.
  const Change whole = [](Rig& rig) {
    EXPECT_TRUE(rig.device.Present() && rig.routes.tunnelTableInUse && rig.steering.running);
  };
  const std::string ours = kEndpointRoute, none;
  constexpr auto kUp = TunnelPhase::Up, kRepairing = TunnelPhase::Repairing, kIdle = TunnelPhase::Idle;
  struct Step {
    int at;  // ms after the start
    Change change;
    bool news;
    std::optional<int> wake;  // ms until it wants to run again
    std::string pin;          // our route to the endpoint
    int made;                 // adapters made so far
    TunnelPhase phase = kUp;
    const char* reason = "";
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    Members request = {};
    test::Processes running = {};  // before the start
  };
  const char* cannot = "create_failed_17";
  const Row rows[] = {
      {"a burst of news is acted on once, after it settles; the counters are read each second",
       {{0, quiet, true, 100, ours, 1}, {60, quiet, true, 40, ours, 1}, {99, quiet, false, 1, ours, 1},
        {100, quiet, false, 900, ours, 1}, {1000, quiet, false, 1000, ours, 1}}},
      {"a second start and a stop that cannot close the adapter change nothing",
       {{0, refusedStart, false, 1000, ours, 1}, {10, refusedStop, false, 990, ours, 1}}},
      {"the node is heard when its counter moves, not when the counter cannot be read; a rebuilt tunnel is heard anew",
       {{4000, counters, false, 1000, ours, 1},
        {5000, unreadable, false, 1000, ours, 1},
        {6000, heard(4000, 1000, 1), false, 1000, ours, 1},
        {7000, counters, false, 1000, ours, 1},  // read again, the same count
        {7000, heard(4000, 4000, 1), false, 1000, ours, 1},
        {7000, vanish, true, 100, ours, 1},
        {7100, heard(4000, 4000, 1), false, 1000, ours, 2},
        {7100, heard(-1, -1, 2), false, 1000, ours, 2}}},
      {"the pin moves to a better path and back when it goes",
       {{0, add("0.0.0.0/0 via 192.0.2.9 on 8", 5), true, 100, ours, 1},
        {100, quiet, false, 900, "main 198.51.100.7/32 via 192.0.2.9 on 8", 1},
        {300, dropAdded, true, 100, "main 198.51.100.7/32 via 192.0.2.9 on 8", 1},
        {400, quiet, false, 600, ours, 1}}},
      {"a pin the system took with its interface's address is made again on the same path",
       {{0, addressLost, true, 100, none, 1}, {100, quiet, false, 900, ours, 1}}},
      {"a longer prefix wins over a lower metric; an unusable path never does",
       {{0, add("198.51.0.0/16 via 192.0.2.3 on 9", 50), true, 100, ours, 1},
        {10, add("198.51.100.0/24 via 192.0.2.4 on 10", 1, false), true, 90, ours, 1},
        {100, quiet, false, 900, "main 198.51.100.7/32 via 192.0.2.3 on 9", 1}}},
      {"without any path it is repairing, and up again when one comes",
       {{0, uplinkDown, true, 100, ours, 1},
        {100, quiet, false, std::nullopt, ours, 1, kRepairing, "no_path"},
        {1200, add("0.0.0.0/0 via 192.0.2.5 on 9", 10), true, 100, ours, 1, kRepairing, "no_path"},
        {1300, quiet, false, 1000, "main 198.51.100.7/32 via 192.0.2.5 on 9", 1}}},
      {"a host route someone else made is the path: ours goes, and comes back after it",
       {{0, add("198.51.100.7/32 via 192.0.2.7 on 9", 0), true, 100, ours, 1},
        {100, quiet, false, 900, none, 1},
        {1200, dropAdded, true, 100, none, 1},
        {1300, quiet, false, 900, ours, 1}}},
      {"a vanished adapter is built again at once from the same request, split and all, the game still told as "
       "running before the start",
       {{0, gameBefore(true), false, 1000, ours, 1},
        {0, vanish, true, 100, ours, 1},
        {100, quiet, false, 1000, ours, 2},
        {100, gameBefore(true), false, 1000, ours, 2},
        {100, whole, false, 1000, ours, 2}},
       {.routeMode = "process-beta"},
       {{42, "game.exe"}}},
      {"rules another program took away, the split's too: built again, split and all; a game started since is no "
       "game that ran before the start",
       {{0, gameStarts, false, 1000, ours, 1},
        {0, rulesTaken, true, 100, ours, 1},
        {100, quiet, false, 1000, ours, 2},
        {100, gameBefore(false), false, 1000, ours, 2},
        {1500, splitRulesTaken, true, 100, ours, 2},
        {1600, quiet, false, 1000, ours, 3},
        {1600, whole, false, 1000, ours, 3}},
       {.routeMode = "process-beta"}},
      {"rebuilds soon after the last wait 1, 2, 4 s; a minute on the waits start again from 1 s",
       {{0, vanish, true, 100, ours, 1},
        {100, quiet, false, 1000, ours, 2},
        {1500, vanish, true, 100, ours, 2},
        {1600, quiet, false, 1000, ours, 3},  // at once: the last try was over 1 s ago
        {2000, vanish, true, 100, ours, 3},
        {2100, quiet, false, 1500, ours, 3, kRepairing, "adapter_gone"},
        {3600, quiet, false, 1000, ours, 4},  // 2 s after the last
        {4000, vanish, true, 100, ours, 4},
        {4100, quiet, false, 3500, ours, 4, kRepairing, "adapter_gone"},
        {7600, quiet, false, 1000, ours, 5},  // 4 s after the last
        {70000, vanish, true, 100, ours, 5},
        {70100, quiet, false, 1000, ours, 6},
        {71000, vanish, true, 100, ours, 6},
        {71100, quiet, false, 1000, ours, 7}}},  // 1 s after the last, afresh after a minute up
      {"a helper that cannot start is tried for as long as it takes, at most 30 s apart; a refused start "
       "meanwhile changes nothing",
       {{0, helperCannotStart, true, 100, ours, 1},
        {100, quiet, false, 1000, none, 1, kRepairing, cannot},
        {1100, quiet, false, 2000, none, 1, kRepairing, cannot},
        {3100, quiet, false, 4000, none, 1, kRepairing, cannot},
        {5000, refusedStart, false, 2100, none, 1, kRepairing, cannot},
        {7100, quiet, false, 8000, none, 1, kRepairing, cannot},
        {15100, quiet, false, 16000, none, 1, kRepairing, cannot},
        {31100, quiet, false, 30000, none, 1, kRepairing, cannot},
        {61100, quiet, false, 30000, none, 1, kRepairing, cannot},
        {70000, helperCanStart, false, 21100, none, 1, kRepairing, cannot},
        {91100, quiet, false, 1000, ours, 2}}},
      {"a stop while a rebuild waits ends it, and a stop of an idle tunnel succeeds",
       {{0, helperCannotStart, true, 100, ours, 1},
        {100, quiet, false, 1000, none, 1, kRepairing, cannot},
        {500, stop, false, std::nullopt, none, 1, kIdle},
        {1100, quiet, true, std::nullopt, none, 1, kIdle}}},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.steering.SetTable(row.running);
    ASSERT_EQ(rig.Start(row.request), "started") << row.name;
    for (const Step& step : row.steps) {
      const std::string label = std::string(row.name) + " at " + std::to_string(step.at) + " ms";
      rig.now = UpkeepClock::time_point{} + std::chrono::milliseconds(step.at);
      if (step.change) step.change(rig);
      const auto wake = rig.tunnel.Upkeep(step.news, rig.now);
      EXPECT_EQ(wake ? std::optional<int>(static_cast<int>(wake->count())) : std::nullopt, step.wake) << label;
      EXPECT_EQ(rig.routes.Pin(), step.pin) << label;
      EXPECT_EQ(rig.device.made, step.made) << label;
      EXPECT_EQ(rig.tunnel.State().phase, step.phase) << label;
      EXPECT_EQ(rig.tunnel.State().reason, step.reason) << label;
    }
    EXPECT_EQ(rig.Stop(), "stopped") << row.name;
    rig.ExpectNothingLeft({}, row.name);
  }
}

// A service killed at any instant is undone by the next from its record: at
// the moment each endpoint route is created, and once the pin has moved.
TEST(TunnelEngine, EveryEndpointRouteIsOnRecordBeforeItExistsAndARestartUndoesIt) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "zv-record";
  std::filesystem::create_directories(folder);
  Rig rig(folder / "tunnel");
  // The main table's routes a restarted service would leave were this one killed now.
  const auto leftAfterAKill = [&] {
    std::filesystem::copy_file(folder / "tunnel", folder / "as-killed", std::filesystem::copy_options::overwrite_existing);
    Rig restarted(folder / "as-killed");
    restarted.routes.routes = rig.routes.routes;
    EXPECT_TRUE(restarted.tunnel.RecoverStaleState());
    EXPECT_FALSE(std::filesystem::exists(folder / "as-killed"));
    EXPECT_FALSE(restarted.routes.tunnelTableInUse);
    Routes left;
    for (const std::string& route : restarted.routes.routes) {
      if (route.starts_with("main ")) left.insert(route);
    }
    return std::make_pair(left, restarted.device.staleRemoved);
  };
  std::vector<std::string> unrecorded;
  rig.routes.beforeAdd = [&](const std::string& route) {
    if (!route.starts_with("main ")) return;
    rig.routes.routes.insert(route);  // as if it existed the moment the service was killed
    if (leftAfterAKill().first.contains(route)) unrecorded.push_back(route);
    rig.routes.routes.erase(rig.routes.routes.find(route));
  };
  ASSERT_EQ(rig.Start({}), "started");
  rig.routes.paths.push_back({"0.0.0.0/0 via 192.0.2.9 on 8", 5});
  rig.tunnel.Upkeep(true, {});
  rig.tunnel.Upkeep(false, UpkeepClock::time_point{} + kUpkeepSettle);
  rig.routes.beforeAdd = nullptr;
  EXPECT_EQ(unrecorded, std::vector<std::string>{}) << "made before it was on record";
  EXPECT_EQ(rig.routes.Pin(), "main 198.51.100.7/32 via 192.0.2.9 on 8");
  const auto [left, stale] = leftAfterAKill();
  EXPECT_EQ(left, Routes{}) << "the moved pin is recorded, not the route it moved from";
  EXPECT_EQ(stale, std::vector<AdapterTrace>{rig.device.Trace()}) << "the adapter's carrier, recorded";

  rig.routes.paths.push_back({"198.51.100.7/32 via 192.0.2.7 on 9", 0});  // someone else's
  rig.tunnel.Upkeep(true, UpkeepClock::time_point{} + std::chrono::seconds(1));
  rig.tunnel.Upkeep(false, UpkeepClock::time_point{} + std::chrono::seconds(1) + kUpkeepSettle);
  rig.routes.routes.insert("main 198.51.100.7/32 via 192.0.2.7 on 9");
  EXPECT_TRUE(leftAfterAKill().first.contains("main 198.51.100.7/32 via 192.0.2.7 on 9"))
      << "a route the service yielded to is not its own";
  EXPECT_EQ(rig.Stop(), "stopped");
  EXPECT_FALSE(std::filesystem::exists(folder / "tunnel")) << "a clean stop leaves no record";
  EXPECT_FALSE(Rig(folder / "tunnel").tunnel.RecoverStaleState());
  std::filesystem::remove_all(folder);
}

// One split from its start to its stop: the lists the steering is told as the
// game's processes come and go, told only when they change.
TEST(SmartSplit, TellsTheGamesProcessesOnlyWhenTheyChange) {
  Rig rig;
  struct Step {
    const char* what;
    test::Processes table;
    bool lookFails;
    std::vector<std::vector<std::uint32_t>> told;  // since the last step
  };
  const Step steps[] = {
      {"no game yet", {{1, "explorer.exe"}, {2, "game"}, {3, "my-game.exe"}, {4, "übergame.exe.bak"}}, false, {}},
      {"found by the whole name, any case, in the order looked at",
       {{1, "explorer.exe"}, {7, "GAME.EXE"}, {9, "ÜberGame.exe"}, {8, "game.exe"}}, false, {{7, 9, 8}}},
      {"unchanged", {{7, "GAME.EXE"}, {9, "ÜberGame.exe"}, {8, "game.exe"}, {4, "other.exe"}}, false, {}},
      {"reordered", {{8, "game.exe"}, {7, "GAME.EXE"}, {9, "ÜberGame.exe"}}, false, {{8, 7, 9}}},
      {"the look fails", {{8, "game.exe"}}, true, {{}}},
      {"back", {{8, "game.exe"}}, false, {{8}}},
      {"the game exits", {{1, "explorer.exe"}}, false, {{}}},
  };
  std::string error;
  ASSERT_TRUE(rig.split.Start(101, {"Game.exe", "übergame.EXE"}, 1000, error)) << error;
  std::size_t seen = 0;
  for (const Step& step : steps) {
    rig.steering.SetTable(step.table, step.lookFails);
    ASSERT_TRUE(rig.steering.AwaitLooks(3)) << step.what;  // a whole cycle ran with the new table
    const auto told = rig.steering.Told();
    EXPECT_EQ(decltype(told)(told.begin() + static_cast<long>(seen), told.end()), step.told) << step.what;
    seen = told.size();
  }
  rig.split.Stop();
  EXPECT_FALSE(rig.steering.running);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < kMaxGameNames; ++i) names.push_back(std::to_string(i) + ".exe");
  names.push_back("0.EXE");
  EXPECT_TRUE(SmartSplitEngine::Accepts(names)) << "names count once folded";
}

}  // namespace
}  // namespace zv

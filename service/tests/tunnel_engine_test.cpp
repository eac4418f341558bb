// The tunnel engine over in-memory fakes of its three interfaces: the
// bring-up's steps in order and their undo, every failure's code, the one
// acceleration state, the repair of a held tunnel over time, and the record a
// restarted service undoes; then the smart split on its own. Keys go through
// the Linux decoder.
#include "wireguard_tunnel.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "fake_platform.h"

namespace zv {
namespace {

using test::Calls;
using test::Members;

constexpr char kEndpointRoute[] = "main 198.51.100.7/32 via 192.0.2.1 on 7";

struct Rig {
  explicit Rig(std::filesystem::path record = {})
      : tunnel(device, routes, split, std::move(record), [this] { return now; }) {
    device.onClose = [this](std::uint64_t id) { routes.DropInterface(id); };
  }
  std::string Start(const Members& members) { return test::Start(tunnel, members, 1000); }
  std::string Stop() { return test::Stop(tunnel); }
  bool StartSplit(const std::vector<std::string>& names = {"game.exe"}) {
    std::string error;
    return split.Start(101, names, 1000, error) || (ADD_FAILURE() << error, false);
  }
  Calls Logged(const std::vector<std::string_view>& kinds, std::size_t from = 0) {
    return test::Only(log.Since(from), kinds);
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

// Every peer and every route list ends with the node's own address, 10.240.0.1/32.
TEST(TunnelEngine, BringUpRunsEveryStepInOrderAndStopUndoesIt) {
  struct Row {
    const char* name;
    Members request;
    const char* peer;  // the networks configured for the peer
    Calls routes;      // tunnel routes, in order
    const char* steer = nullptr;
    std::string endpointRoute = kEndpointRoute;
    bool existing = false;  // the endpoint route, a tunnel route and the address are there already
  };
  const Row rows[] = {
      {"full routing", {}, "0.0.0.0/0 2001:db8::/32", {"0.0.0.0/0", "2001:db8::/32"}},
      {"split routing keeps narrow IPv4 routes",
       {.routeMode = "process-beta",
        .allowedIps = R"(["0.0.0.0/0","203.0.113.0/24","198.51.0.0/16","2001:db8::/32","198.0.0.0/8"])",
        .gameProcesses = R"(["Game.exe","launcher.exe"])"},
       "0.0.0.0/0", {"203.0.113.0/24", "198.51.0.0/16"}, "steer 101 owner 1000 game.exe launcher.exe"},
      {"PROCESS-BETA is full routing", {.routeMode = "PROCESS-BETA", .allowedIps = R"(["198.0.0.0/8"])"},
       "198.0.0.0/8", {"198.0.0.0/8"}},
      // A system refuses host bits in a route's destination; the peer keeps the prefix as written.
      {"routes are networks", {.allowedIps = R"(["10.1.2.3/8","2001:db8::1/32"])"}, "10.1.2.3/8 2001:db8::1/32",
       {"10.0.0.0/8", "2001:db8::/32"}},
      {"an IPv6 endpoint splits at its last colon; its host route has no port",
       {.endpoint = "2001:db8::1:51820", .allowedIps = R"(["10.0.0.0/8"])"}, "10.0.0.0/8", {"10.0.0.0/8"}, nullptr,
       "main 2001:db8::1/128 via fe80::1 on 7"},
      {"objects that exist already are used but not owned", {}, "0.0.0.0/0 2001:db8::/32",
       {"0.0.0.0/0", "2001:db8::/32"}, nullptr, kEndpointRoute, true},
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
    Calls expected = {"create",
                      "configure " + row.request.endpoint + " keepalive 25 peer " + row.peer + " 10.240.0.1/32",
                      "best path " + row.request.endpoint,
                      "add " + row.endpointRoute,
                      "address 10.240.0.2/32 on 101",
                      "use tunnel table"};
    for (const std::string& route : row.routes) expected.push_back("add tunnel " + route + " on 101");
    expected.insert(expected.end(), {"add tunnel 10.240.0.1/32 on 101", "raise"});
    if (row.steer) expected.insert(expected.end(), {"steer stop", row.steer});
    EXPECT_EQ(rig.log.Since(0), expected) << row.name;
    EXPECT_EQ(rig.tunnel.State().phase, TunnelPhase::Up) << row.name;

    const std::size_t stopAt = rig.log.Since(0).size();
    EXPECT_EQ(rig.Stop(), "stopped") << row.name;
    expected = {"steer stop", "release", "leave tunnel table"};
    if (!row.existing) expected.push_back("remove " + row.endpointRoute);
    EXPECT_EQ(rig.log.Since(stopAt), expected) << row.name;
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
    const char* failing = nullptr;  // this call answers `result`
    std::uint32_t result = 0;
    int nth = 0;
    Calls tail = {};  // the last calls, where their order matters
  };
  std::vector<Row> rows = {
      {"invalid_tunnel_config", {.allowedIps = "[]"}},
      {"invalid_tunnel_config", {.privateKey = ""}},
      // A control character would cut the text short where the system reads it: "/24" alone.
      {"invalid_tunnel_config", {.allowedIps = R"(["10.0.0.0/24\u0000junk"])"}},
      {"invalid_tunnel_config", {.endpoint = "198.51.100.7:51820\n"}},
      {"smart_split_process_rules_too_many", {.routeMode = "process-beta", .gameProcesses = manyGames + "]"}},
      {"create_failed_5", {}, "create", 5},
      {"invalid_allowed_ip", {.allowedIps = R"(["10.0.0.0/33"])"}, nullptr, 0, 0,
       {"create", "abandon", "leave tunnel table"}},
      {"invalid_allowed_ip", {.routeMode = "process-beta", .allowedIps = R"(["0.0.0.0/0","::/129"])"}},
      {"invalid_server_public_key", {.serverKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyAh"}},  // 33 bytes
      {"configure_failed_87", {}, "configure", 87},
      {"resolve_endpoint_route_failed_1232", {}, "best path", 1232},
      {"create_endpoint_route_failed_5", {}, "add", 5, 1},
      {"configure_address_failed_87", {}, "address", 87},
      {"configure_route_failed_22", {}, "use tunnel table", 22},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/x"}, nullptr, 0, 0,
       {"abandon", "leave tunnel table", dropEndpoint}},
      {"configure_route_failed_160", {}, "add", 160, 4,
       {"add tunnel 2001:db8::/32 on 101", "add tunnel 10.240.0.1/32 on 101", "abandon", "leave tunnel table",
        dropEndpoint}},
      {"raise_failed_31", {}, "raise", 31, 0, {"raise", "abandon", "leave tunnel table", dropEndpoint}},
      {"steer_failed_2", {.routeMode = "process-beta"}, "steer", 2, 0,
       {"steer stop", "steer 101 owner 1000 game.exe", "abandon", "leave tunnel table", dropEndpoint}},
      // No name is left once the empty ones and those that are no UTF-8 are dropped.
      {"smart_split_process_rules_empty",
       {.routeMode = "process-beta", .gameProcesses = "[\"\",\"\xff\",\"\xc3\x28\",\"\xed\xa0\x80x.exe\"]"}},
  };
  // Only the canonical text of 32 bytes is a key: 31 bytes, spare bits set, no pad, a foreign character.
  for (const char* key : {"AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHw==", "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyB=",
                          "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA", "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRob-B0eHyA="}) {
    rows.push_back({"invalid_private_key", {.privateKey = key}});
  }
  for (const char* endpoint : {":51820", "198.51.100.7:0", "198.51.100.7:65536", "198.51.100.7"}) {
    rows.push_back({"invalid_endpoint", {.endpoint = endpoint}});
  }
  // Lengths the system would cut to their low 8 bits (32) or read past, and
  // addresses no interface may carry: a /0 would make every destination on-link.
  for (const char* address : {"fd00::2/64", "10.240.0.2/4294967296", "10.240.0.2/288", "10.240.0.2/32junk",
                              "10.240.0.2/33", "10.240.0.2/0", "224.0.0.5/32", "127.0.0.1/8"}) {
    rows.push_back({"invalid_assigned_address", {.assignedIp = address}});
  }
  for (const Row& row : rows) {
    Rig rig;
    rig.steering.nameLimit = 128;
    const std::string label = row.code + " " + test::Body(row.request);
    if (row.failing) rig.log.Fail(row.failing, row.result, row.nth);
    EXPECT_EQ(rig.Start(row.request), row.code) << label;
    const Calls calls = rig.log.Since(0);
    if (row.code == "invalid_tunnel_config" || row.code.ends_with("too_many")) {
      EXPECT_TRUE(calls.empty()) << "nothing made: " << label;
    } else if (row.code.starts_with("invalid_")) {
      EXPECT_EQ(std::count(calls.begin(), calls.end(), "abandon"), 1) << label;
    }
    EXPECT_EQ(test::Last(calls, row.tail.size()), row.tail) << label;
    rig.ExpectNothingLeft({}, label);
  }
}

// The upkeep over time: each step changes the system, runs the upkeep at its
// instant and checks when it wants to run again, the calls that changed
// something, and the state. The network news is the fake's: wine does not
// implement Windows' notifications, so this is where their policy is tested.
// Failed requests change nothing in any phase, and only a stop that closes
// the adapter ends the tunnel.
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
  const Change helperCannotStart = [](Rig& rig) { rig.device.vanished = true, rig.log.Fail("create", 17); };
  const Change helperCanStart = [](Rig& rig) { rig.log.Fail("create", 0); };
  const Change refusedStart = [](Rig& rig) { EXPECT_EQ(rig.Start({.allowedIps = "[]"}), "tunnel_already_running"); };
  const Change refusedStop = [](Rig& rig) {
    rig.log.Fail("release", 9, 1);
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
  const Change gameStarts = [](Rig& rig) { rig.steering.SetTable({{42, u"game.exe"}}); };
  const std::string paths = "paths to 198.51.100.7:51820";
  const std::string ours = std::string("add ") + kEndpointRoute, dropOurs = std::string("remove ") + kEndpointRoute;
  const Calls rebuilt = {"steer stop", "release", dropOurs, "create", ours};
  const Calls retried = {"steer stop", "create"};
  const auto splitRebuilt = [&](int tunnel) {  // the interface each new adapter gets
    return Calls{"steer stop", "release", dropOurs, "create", ours, "steer stop",
                 "steer " + std::to_string(tunnel) + " owner 1000 game.exe"};
  };
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
    test::ProcessTable running = {};  // before the start
  };
  const char* cannot = "create_failed_17";
  const Row rows[] = {
      {"a burst of news is acted on once, after it settles; the counters are read each second",
       {{0, quiet, true, 100, {}}, {60, quiet, true, 40, {}}, {99, quiet, false, 1, {}},
        {100, quiet, false, 900, {paths}}, {1000, quiet, false, 1000, {}}}},
      {"a second start and a stop that cannot close the adapter change nothing",
       {{0, refusedStart, false, 1000, {}}, {10, refusedStop, false, 990, {"steer stop", "release"}}},
       {.routeMode = "process-beta"}},
      {"the node is heard when its counter moves, not when the counter cannot be read; a rebuilt tunnel is heard anew",
       {{4000, counters, false, 1000, {}},
        {5000, unreadable, false, 1000, {}},
        {6000, heard(4000, 1000, 1), false, 1000, {}},
        {7000, counters, false, 1000, {}},  // read again, the same count
        {7000, heard(4000, 4000, 1), false, 1000, {}},
        {7000, vanish, true, 100, {}},
        {7100, heard(4000, 4000, 1), false, 1000, rebuilt},
        {7100, heard(-1, -1, 2), false, 1000, {}}}},
      {"the pin moves to a better path and back when it goes",
       {{0, add("0.0.0.0/0 via 192.0.2.9 on 8", 5), true, 100, {}},
        {100, quiet, false, 900, {paths, dropOurs, "add main 198.51.100.7/32 via 192.0.2.9 on 8"}},
        {500, dropAdded, true, 100, {}},
        {600, quiet, false, 400, {paths, "remove main 198.51.100.7/32 via 192.0.2.9 on 8", ours}}}},
      {"a pin the system took with its interface's address is made again on the same path",
       {{0, addressLost, true, 100, {}}, {100, quiet, false, 900, {paths, ours}}}},
      {"a longer prefix wins over a lower metric; an unusable path never does",
       {{0, add("198.51.0.0/16 via 192.0.2.3 on 9", 50), true, 100, {}},
        {10, add("198.51.100.0/24 via 192.0.2.4 on 10", 1, false), true, 90, {}},
        {100, quiet, false, 900, {paths, dropOurs, "add main 198.51.100.7/32 via 192.0.2.3 on 9"}}}},
      {"without any path it is repairing, and up again when one comes",
       {{0, uplinkDown, true, 100, {}},
        {100, quiet, false, std::nullopt, {paths}, kRepairing, "no_path"},
        {200, add("0.0.0.0/0 via 192.0.2.5 on 9", 10), true, 100, {}, kRepairing, "no_path"},
        {300, quiet, false, 1000, {paths, dropOurs, "add main 198.51.100.7/32 via 192.0.2.5 on 9"}}}},
      {"a host route someone else made is the path: ours goes, and comes back after it",
       {{0, add("198.51.100.7/32 via 192.0.2.7 on 9", 0), true, 100, {}},
        {100, quiet, false, 900, {paths, dropOurs}},
        {200, dropAdded, true, 100, {}},
        {300, quiet, false, 700, {paths, ours}}}},
      {"a vanished adapter is built again at once from the same request, split and all, the game still told as "
       "running before the start",
       {{0, gameBefore(true), false, 1000, {}},
        {0, vanish, true, 100, {}},
        {100, quiet, false, 1000, splitRebuilt(102)},
        {100, gameBefore(true), false, 1000, {}}},
       {.routeMode = "process-beta"},
       {{42, u"game.exe"}}},
      {"rules another program took away, the split's too: built again, split and all; a game started since is no "
       "game that ran before the start",
       {{0, gameStarts, false, 1000, {}},
        {0, rulesTaken, true, 100, {}},
        {100, quiet, false, 1000, splitRebuilt(102)},
        {100, gameBefore(false), false, 1000, {}},
        {500, splitRulesTaken, true, 100, {}},
        {600, quiet, false, 500, {}, kRepairing, "rules_gone"},
        {1100, quiet, false, 1000, splitRebuilt(103)}},
       {.routeMode = "process-beta"}},
      {"rebuilds soon after the last wait 1, 2, 4 s; a minute on the waits start again from 1 s",
       {{0, vanish, true, 100, {}},
        {100, quiet, false, 1000, rebuilt},
        {500, vanish, true, 100, {}},
        {600, quiet, false, 500, {}, kRepairing, "adapter_gone"},
        {1100, quiet, false, 1000, rebuilt},
        {1500, vanish, true, 100, {}},
        {1600, quiet, false, 1500, {}, kRepairing, "adapter_gone"},
        {3100, quiet, false, 1000, rebuilt},
        {70000, vanish, true, 100, {}},
        {70100, quiet, false, 1000, rebuilt},
        {70500, vanish, true, 100, {}},
        {70600, quiet, false, 500, {}, kRepairing, "adapter_gone"}}},
      {"a helper that cannot start is tried for as long as it takes, at most 30 s apart; a refused start "
       "meanwhile changes nothing",
       {{0, helperCannotStart, true, 100, {}},
        {100, quiet, false, 1000, {"steer stop", "release", dropOurs, "create"}, kRepairing, cannot},
        {1100, quiet, false, 2000, retried, kRepairing, cannot},
        {3100, quiet, false, 4000, retried, kRepairing, cannot},
        {5000, refusedStart, false, 2100, {}, kRepairing, cannot},
        {7100, quiet, false, 8000, retried, kRepairing, cannot},
        {15100, quiet, false, 16000, retried, kRepairing, cannot},
        {31100, quiet, false, 30000, retried, kRepairing, cannot},
        {61100, quiet, false, 30000, retried, kRepairing, cannot},
        {70000, helperCanStart, false, 21100, {}, kRepairing, cannot},
        {91100, quiet, false, 1000, {"steer stop", "create", ours}}}},
      {"a stop while a rebuild waits ends it, and a stop of an idle tunnel succeeds",
       {{0, helperCannotStart, true, 100, {}},
        {100, quiet, false, 1000, {"steer stop", "release", dropOurs, "create"}, kRepairing, cannot},
        {500, stop, false, std::nullopt, {"steer stop"}, TunnelPhase::Idle},
        {1100, quiet, true, std::nullopt, {}, TunnelPhase::Idle}}},
  };
  for (const Row& row : rows) {
    Rig rig;
    rig.steering.SetTable(row.running);
    ASSERT_EQ(rig.Start(row.request), "started") << row.name;
    for (const Step& step : row.steps) {
      const std::string label = std::string(row.name) + " at " + std::to_string(step.at) + " ms";
      const std::size_t from = rig.log.Since(0).size();
      rig.now = UpkeepClock::time_point{} + std::chrono::milliseconds(step.at);
      if (step.change) step.change(rig);
      const auto wake = rig.tunnel.Upkeep(step.news, rig.now);
      EXPECT_EQ(wake ? std::optional<int>(static_cast<int>(wake->count())) : std::nullopt, step.wake) << label;
      // Only the calls that change something.
      EXPECT_EQ(rig.Logged({"paths to", "remove main", "add main", "create", "release", "steer"}, from), step.calls)
          << label;
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
  EXPECT_EQ(test::Only(removedAfterAKill(), {"remove main"}), Calls{}) << "a route the service yielded to is not its own";
  EXPECT_EQ(rig.Stop(), "stopped");
  EXPECT_FALSE(std::filesystem::exists(folder / "tunnel")) << "a clean stop leaves no record";
  EXPECT_FALSE(Rig(folder / "tunnel").tunnel.RecoverStaleState());
  std::filesystem::remove_all(folder);
}

// The smart split alone, over the same fakes: which destinations go through
// the tunnel, the drain's bound, the tracker's lists and the names it follows.
PendingFlow Flow(const char* remote, std::uint64_t id, bool readable = true) {
  PendingFlow flow{readable, id, {}};
  inet_pton(AF_INET, remote, flow.remote);
  return flow;
}

// One split from its start to its stop: the tracker's lists as the games come
// and go, and meanwhile the flows it answers and the routes it makes for them.
TEST(SmartSplit, RoutesOnlyDestinationsOffTheDirectRangesAndTellsTheGamesProcessesOnlyWhenTheyChange) {
  Rig rig;
  // Inside each range that stays direct, and just past its ends; 1: through the tunnel.
  const std::pair<const char*, int> rows[] = {
      {"8.8.8.8", 1},       {"8.8.8.8", 1},         {"0.1.2.3", 0},         {"1.0.0.0", 1},
      {"10.1.2.3", 0},      {"11.0.0.1", 1},        {"127.0.0.1", 0},       {"169.254.1.1", 0},
      {"169.253.255.255", 1}, {"172.16.0.1", 0},    {"172.31.255.255", 0},  {"172.32.0.1", 1},
      {"172.15.255.1", 1},  {"192.168.1.1", 0},     {"192.169.0.1", 1},     {"223.255.255.255", 1},
      {"224.0.0.1", 0},     {"239.1.1.1", 0},       {"255.255.255.255", 0}, {"100.64.0.1", 1},
      {"169.255.0.0", 1},
  };
  Calls verdicts, made, removed;
  for (std::uint64_t id = 0; id < std::size(rows); ++id) {
    const auto& [remote, routed] = rows[id];
    rig.steering.QueueFlow(Flow(remote, id));
    verdicts.push_back("verdict " + std::to_string(routed) + " " + std::to_string(id));
    if (routed) made.push_back("add tunnel " + std::string(remote) + "/32 on 101");
    // The last created goes first; the second 8.8.8.8 found its route in place.
    if (routed && id != 1) removed.insert(removed.begin(), "remove tunnel " + std::string(remote) + "/32 on 101");
  }
  rig.steering.QueueFlow(Flow("203.0.113.9", 100, false));  // not a flow the service can read
  rig.steering.QueueFlow(Flow("203.0.113.10", 0xFFFFFFFF00000001));  // the twelfth route, refused
  rig.log.Fail("add", 87, 12);
  verdicts.insert(verdicts.end(), {"verdict 0 100", "verdict 0 18446744069414584321"});
  made.push_back("add tunnel 203.0.113.10/32 on 101");
  struct Step {
    const char* what;
    test::ProcessTable table;
    bool lookFails;
    Calls sent;
  };
  const Step steps[] = {
      {"no game yet", {{1, u"explorer.exe"}, {2, u"game"}, {3, u"my-game.exe"}}, false, {}},
      {"found, in the order looked at", {{1, u"explorer.exe"}, {7, u"GAME.EXE"}, {9, u"Launcher.exe"}, {8, u"game.exe"}},
       false, {"ids 7 9 8"}},
      {"unchanged", {{7, u"GAME.EXE"}, {9, u"Launcher.exe"}, {8, u"game.exe"}, {4, u"other.exe"}}, false, {}},
      {"reordered", {{8, u"game.exe"}, {7, u"GAME.EXE"}, {9, u"Launcher.exe"}}, false, {"ids 8 7 9"}},
      {"the look fails", {{8, u"game.exe"}}, true, {"ids"}},
      {"back", {{8, u"game.exe"}}, false, {"ids 8"}},
      {"the game exits", {{1, u"explorer.exe"}}, false, {"ids"}},
  };
  ASSERT_TRUE(rig.StartSplit({"Game.exe", "", "\xff", "launcher.exe"}));
  std::size_t seen = 0;
  for (const Step& step : steps) {
    rig.steering.SetTable(step.table, step.lookFails);
    ASSERT_TRUE(rig.steering.AwaitLooks(3)) << step.what;  // a whole cycle ran with the new table
    const Calls sent = rig.Logged({"ids"});
    EXPECT_EQ(Calls(sent.begin() + static_cast<long>(seen), sent.end()), step.sent) << step.what;
    seen = sent.size();
  }
  EXPECT_EQ(rig.Logged({"verdict"}), verdicts);
  EXPECT_EQ(rig.Logged({"add"}), made);
  rig.split.Stop();
  EXPECT_EQ(rig.Logged({"remove"}), removed);
  EXPECT_TRUE(rig.routes.routes.empty());
  EXPECT_EQ(rig.log.Since(1).front(), "steer 101 owner 1000 game.exe launcher.exe") << "the usable names, folded";
  rig.steering.nameLimit = 2;
  EXPECT_TRUE(rig.split.Accepts({"a.exe", "A.EXE", "b.exe"})) << "names count once folded";
  EXPECT_FALSE(rig.split.Accepts({"a.exe", "b.exe", "c.exe"}));
  // Told of the start that runs: a game already running then, none once stopped.
  rig.steering.SetTable({{8, u"game.exe"}});
  ASSERT_TRUE(rig.StartSplit());
  EXPECT_TRUE(rig.split.GameBeforeStart());
  rig.split.Stop();
  EXPECT_FALSE(rig.split.GameBeforeStart());
}

TEST(SmartSplit, DrainAnswersABoundedNumberPerCycle) {
  Rig rig;
  constexpr int kQueued = 200 * kMaxFlowsPerDrain;  // far more than the test's wait lets through
  for (int i = 0; i < kQueued; ++i) rig.steering.QueueFlow(Flow("10.0.0.1", static_cast<std::uint64_t>(i)));
  ASSERT_TRUE(rig.StartSplit());
  ASSERT_TRUE(rig.steering.AwaitLooks(1));
  rig.split.Stop();  // noticed between cycles although flows are still pending
  const auto verdicts = static_cast<int>(rig.Logged({"verdict"}).size());
  EXPECT_GE(verdicts, kMaxFlowsPerDrain);
  EXPECT_LT(verdicts, kQueued);
  EXPECT_EQ(verdicts % kMaxFlowsPerDrain, 0);
}

}  // namespace
}  // namespace zv

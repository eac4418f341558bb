// The WireGuard tunnel engine over a recording fake system, which is also its
// split routing. Key texts go through the Linux shell's strict decoder.
#include "wireguard_tunnel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "fake_system.h"

namespace zv {
namespace {

using test::Calls;
using test::FakeTunnelSystem;

constexpr char kPrivateKey[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";  // bytes 1..32
constexpr char kServerKey[] = "gIGCg4SFhoeIiYqLjI2Oj5CRkpOUlZaXmJmam5ydnp8=";   // bytes 0x80..0x9f
constexpr char kEndpointRoute[] = "198.51.100.7/32 via 192.0.2.1 on 7";

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

// The block the adapter must be handed, at WireGuardNT's published offsets:
// the request's keys and endpoint (port 51820), then the peer's networks.
std::vector<std::uint8_t> ExpectedBlock(const char* host, const Calls& networks) {
  std::vector<std::uint8_t> block(216 + 24 * networks.size(), 0);
  block[0] = 10;    // a private key, replace peers; no listen port, no public key
  block[72] = 1;    // one peer
  block[80] = 45;   // public key, keepalive, endpoint, replace allowed IPs; no preshared key
  block[152] = 25;  // keepalive seconds
  for (int i = 0; i < 32; ++i) block[6 + i] = 1 + i, block[88 + i] = 0x80 + i;
  block[156] = inet_pton(AF_INET, host, &block[160]) == 1 ? 2 : (inet_pton(AF_INET6, host, &block[164]), 23);
  block[158] = 0xCA, block[159] = 0x6C;
  block[208] = static_cast<std::uint8_t>(networks.size());
  for (std::size_t i = 0; i < networks.size(); ++i) {
    const std::size_t slash = networks[i].find('/');
    const std::string address = networks[i].substr(0, slash);
    std::uint8_t* entry = &block[216 + 24 * i];
    entry[16] = inet_pton(AF_INET, address.c_str(), entry) == 1 ? 2 : (inet_pton(AF_INET6, address.c_str(), entry), 23);
    entry[18] = static_cast<std::uint8_t>(std::stoi(networks[i].substr(slash + 1)));
  }
  return block;
}

struct Rig {
  std::string Start(const Members& members) {
    std::string error;
    return tunnel.BringUp(Body(members), error) ? "started" : error;
  }
  std::string Stop() {
    std::string error;
    return tunnel.TearDown(error) ? "stopped" : error;
  }
  Calls CallsSince(std::size_t from) const { return Calls(system.calls.begin() + from, system.calls.end()); }
  void ExpectNothingLeft(const std::multiset<std::string>& routesBefore, const std::string& label) {
    EXPECT_EQ(system.loadedLibraries, 0) << label;
    EXPECT_EQ(system.openAdapters, 0) << label;
    EXPECT_EQ(system.routes, routesBefore) << label;
    EXPECT_TRUE(system.addresses.empty()) << label;
    EXPECT_FALSE(system.splitRunning) << label;
    EXPECT_FALSE(tunnel.Running()) << label;
  }

  FakeTunnelSystem system;
  WireGuardTunnel tunnel{system, system};
};

const Calls kLoad = {
    "OwnProgramPath",
    "LoadLibraryAt C:\\Program Files\\Zentravolk\\wireguard.dll",
    "FindExport WireGuardCreateAdapter",
    "FindExport WireGuardCloseAdapter",
    "FindExport WireGuardGetAdapterLUID",
    "FindExport WireGuardSetConfiguration",
    "FindExport WireGuardSetAdapterState",
};

Calls Join(std::initializer_list<Calls> parts) {
  Calls all;
  for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(WireGuardTunnel, BringUpRunsEveryStepInOrderAndStopUndoesIt) {
  struct Row {
    const char* name;
    Members request;
    Calls peer, routes;  // routes on the tunnel's interface
    const char* splitStart;
    const char* host = "198.51.100.7";
    const char* endpointRoute = kEndpointRoute;
    bool existing = false;  // the endpoint route, a tunnel route and the address are there already
  };
  const Row rows[] = {
      {"full routing", {}, {"0.0.0.0/0", "2001:db8::/32", "10.240.0.1/32"},
       {"0.0.0.0/0 via 0.0.0.0", "2001:db8::/32 via ::", "10.240.0.1/32 via 0.0.0.0"}, nullptr},
      {"split routing keeps narrow IPv4 routes",
       {.routeMode = "process-beta",
        .allowedIps = R"(["0.0.0.0/0","203.0.113.0/24","198.51.0.0/16","2001:db8::/32","198.0.0.0/8"])",
        .gameProcesses = R"(["game.exe","launcher.exe"])"},
       {"0.0.0.0/0", "10.240.0.1/32"},
       {"203.0.113.0/24 via 0.0.0.0", "198.51.0.0/16 via 0.0.0.0", "10.240.0.1/32 via 0.0.0.0"},
       "split.Start 4097 game.exe launcher.exe"},
      {"PROCESS-BETA is full routing", {.routeMode = "PROCESS-BETA", .allowedIps = R"(["198.0.0.0/8"])"},
       {"198.0.0.0/8", "10.240.0.1/32"}, {"198.0.0.0/8 via 0.0.0.0", "10.240.0.1/32 via 0.0.0.0"}, nullptr},
      {"an IPv6 endpoint splits at its last colon", {.endpoint = "2001:db8::1:51820", .allowedIps = R"(["10.0.0.0/8"])"},
       {"10.0.0.0/8", "10.240.0.1/32"}, {"10.0.0.0/8 via 0.0.0.0", "10.240.0.1/32 via 0.0.0.0"}, nullptr,
       "2001:db8::1", "2001:db8::1/128 via fe80::1 on 7"},
      {"objects that exist already are used but not owned", {}, {"0.0.0.0/0", "2001:db8::/32", "10.240.0.1/32"},
       {"0.0.0.0/0 via 0.0.0.0", "2001:db8::/32 via ::", "10.240.0.1/32 via 0.0.0.0"}, nullptr, "198.51.100.7",
       kEndpointRoute, true},
  };
  for (const Row& row : rows) {
    Rig rig;
    std::multiset<std::string> before;
    if (row.existing) {
      before = {kEndpointRoute};
      rig.system.routes = {kEndpointRoute, "0.0.0.0/0 via 0.0.0.0 on 4097"};
      rig.system.addresses = {"10.240.0.2/32 on 4097"};
    }
    EXPECT_EQ(rig.Start(row.request), "started") << row.name;
    Calls routes;
    for (const std::string& route : row.routes) routes.push_back("CreateRoute " + route + " on 4097");
    const Calls expected = Join({kLoad,
                                 {"createAdapter ZENTRAVOLK ZENTRAVOLK", "DecodeKey", "DecodeKey",
                                  std::string("ResolveAddress ") + row.host + " 51820", "setConfiguration",
                                  std::string("BestRoute ") + row.host, std::string("CreateRoute ") + row.endpointRoute,
                                  "getAdapterLuid", "CreateAddress 10.240.0.2/32 on 4097"},
                                 routes,
                                 {"setAdapterState 1"},
                                 row.splitStart ? Calls{row.splitStart} : Calls{}});
    EXPECT_EQ(rig.system.calls, expected) << row.name;
    EXPECT_EQ(rig.system.configuration, ExpectedBlock(row.host, row.peer)) << row.name;

    const std::size_t stopAt = rig.system.calls.size();
    EXPECT_EQ(rig.Stop(), "stopped") << row.name;
    const Calls dropEndpoint = row.existing ? Calls{} : Calls{std::string("DeleteRoute ") + row.endpointRoute};
    EXPECT_EQ(rig.CallsSince(stopAt), Join({{"split.Stop"}, Calls(kLoad.begin() + 2, kLoad.end()),
                                            {"setAdapterState 0", "closeAdapter 1"}, dropEndpoint, {"UnloadLibrary"}}))
        << row.name;
    rig.ExpectNothingLeft(before, row.name);
  }
}

TEST(WireGuardTunnel, EveryFailureAnswersItsCodeAndLeavesNothingBehind) {
  const std::string dropEndpoint = std::string("DeleteRoute ") + kEndpointRoute;
  struct Row {
    std::string code;
    Members request = {};
    const char* failing = nullptr;  // this call fails with `error`; with none, an export is missing or the split fails
    std::uint32_t error = 0;
    int nth = 0;
    Calls tail = {};  // the last calls, when their order matters
  };
  std::vector<Row> rows = {
      {"invalid_tunnel_config", {.allowedIps = "[]"}},
      // A control character would cut the text short where the system reads it: "/24" alone.
      {"invalid_tunnel_config", {.allowedIps = R"(["10.0.0.0/24\u0000junk"])"}},
      {"invalid_tunnel_config", {.endpoint = "198.51.100.7:51820\n"}},
      {"resolve_service_path_failed", {}, "OwnProgramPath", 1},
      {"embedded_tunnel_component_missing", {}, "LoadLibraryAt", 126},
      {"create_adapter_failed_5", {}, "createAdapter", 5},
      {"invalid_allowed_ip", {.allowedIps = R"(["10.0.0.0/33"])"}, nullptr, 0, 0, {"closeAdapter 1", "UnloadLibrary"}},
      {"invalid_allowed_ip", {.routeMode = "process-beta", .allowedIps = R"(["0.0.0.0/0","::/129"])"}},
      // Only the canonical text of 32 bytes is a key.
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHw=="}},  // 31
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyB="}},  // spare bits
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA"}},   // no pad
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRob B0eHyA="}},
      {"invalid_private_key", {.privateKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRob-B0eHyA="}},
      {"invalid_server_public_key", {.serverKey = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyAh"}},  // 33
      {"invalid_endpoint", {.endpoint = ":51820"}},
      {"invalid_endpoint", {.endpoint = "198.51.100.7:0"}},
      {"invalid_endpoint", {.endpoint = "198.51.100.7:65536"}},
      {"invalid_endpoint", {}, "ResolveAddress", 11001},
      {"set_tunnel_config_failed_87", {}, "setConfiguration", 87},
      {"resolve_endpoint_route_failed_1232", {}, "BestRoute", 1232},
      {"create_endpoint_route_failed_5", {}, "CreateRoute", 5, 1},
      {"configure_address_failed_87", {}, "CreateAddress", 87},
      {"invalid_assigned_address", {.assignedIp = "fd00::2/64"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/x"}, nullptr, 0, 0,
       {"closeAdapter 1", dropEndpoint, "UnloadLibrary"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/4294967296"}},
      // Lengths the system would cut to their low 8 bits (32) or read past.
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/288"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/-224"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/32junk"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/ 32"}},
      {"invalid_assigned_address", {.assignedIp = "10.240.0.2/33"}},
      {"configure_route_failed_160", {}, "CreateRoute", 160, 3,
       {"CreateRoute 0.0.0.0/0 via 0.0.0.0 on 4097", "CreateRoute 2001:db8::/32 via :: on 4097", "closeAdapter 1",
        dropEndpoint, "UnloadLibrary"}},
      {"start_adapter_failed_31", {}, "setAdapterState", 31, 0,
       {"setAdapterState 1", "closeAdapter 1", dropEndpoint, "UnloadLibrary"}},
      {"smart_split_process_rules_empty", {.routeMode = "process-beta"}, "split.Start", 0, 0,
       {"split.Start 4097 game.exe", "setAdapterState 0", "closeAdapter 1", dropEndpoint, "UnloadLibrary"}},
  };
  for (const char* name : {"WireGuardCreateAdapter", "WireGuardCloseAdapter", "WireGuardGetAdapterLUID",
                           "WireGuardSetConfiguration", "WireGuardSetAdapterState"}) {
    rows.push_back({"embedded_tunnel_api_invalid", {}, name, 0, 0, {"FindExport WireGuardSetAdapterState", "UnloadLibrary"}});
  }
  for (const Row& row : rows) {
    Rig rig;
    if (row.failing && row.failing == std::string_view("split.Start")) rig.system.splitError = row.code;
    else if (row.failing && row.error == 0) rig.system.missingExports = {row.failing};
    else if (row.failing) rig.system.Fail(row.failing, row.error, row.nth);
    const std::string label = row.code + " " + Body(row.request);
    EXPECT_EQ(rig.Start(row.request), row.code) << label;
    const Calls& calls = rig.system.calls;
    if (row.code == "invalid_tunnel_config") {
      EXPECT_TRUE(calls.empty()) << "nothing loaded: " << label;
    } else if (row.code.starts_with("invalid_")) {
      EXPECT_EQ(std::count(calls.begin(), calls.end(), "closeAdapter 1"), 1) << label;
    }
    if (!row.tail.empty() && calls.size() >= row.tail.size()) {
      EXPECT_EQ(Calls(calls.end() - static_cast<long>(row.tail.size()), calls.end()), row.tail) << label;
    }
    rig.ExpectNothingLeft({}, label);
  }
}

TEST(WireGuardTunnel, StopWithoutTheLibraryFunctionsLeavesTheTunnelRunning) {
  Rig rig;
  ASSERT_EQ(rig.Start({.routeMode = "process-beta"}), "started");
  rig.system.missingExports = {"WireGuardCloseAdapter"};
  const std::size_t before = rig.system.calls.size();
  EXPECT_EQ(rig.Stop(), "embedded_tunnel_api_invalid");
  EXPECT_EQ(rig.CallsSince(before).front(), "split.Stop") << "the split stops first, in any case";
  EXPECT_TRUE(rig.tunnel.Running());
  EXPECT_EQ(rig.system.openAdapters, 1);
  EXPECT_EQ(rig.system.loadedLibraries, 1);

  rig.system.missingExports.clear();
  EXPECT_EQ(rig.Stop(), "stopped");
  rig.ExpectNothingLeft({}, "stopped once the functions are back");
  EXPECT_EQ(rig.Stop(), "stopped") << "stopping an idle tunnel succeeds";
  EXPECT_EQ(rig.system.calls.back(), "split.Stop") << "and still stops the split, which a failed start may leave open";
}

// Upkeep over time: each step changes the system, calls Upkeep at its
// instant and checks the answer and the calls that changed something. The
// network news comes from the fake: wine does not implement Windows' route,
// interface and address notifications, so this is where their policy is tested.
TEST(WireGuardTunnel, UpkeepOnFakeNetworkNewsFollowsThePathAndRebuildsAVanishedAdapter) {
  using Change = std::function<void(Rig&)>;
  const Change quiet;
  const auto add = [](const char* route, std::uint32_t metric, bool usable = true) {
    return Change([=](Rig& rig) { rig.system.paths.push_back({route, metric, usable}); });
  };
  const Change dropAdded = [](Rig& rig) { rig.system.paths.resize(1); };
  const Change uplinkDown = [](Rig& rig) { rig.system.paths.clear(); };
  const Change vanish = [](Rig& rig) { rig.system.Vanish(); };
  const Change vanishForGood = [](Rig& rig) {
    rig.system.Vanish();
    rig.system.Fail("createAdapter", 5);
  };
  const Change stop = [](Rig& rig) { EXPECT_EQ(rig.Stop(), "stopped"); };
  const std::string ours = std::string("CreateRoute ") + kEndpointRoute, dropOurs = "DeleteRoute " + std::string(kEndpointRoute);
  const Calls rebuilt = {"split.Stop", "closeAdapter", dropOurs, "UnloadLibrary", "createAdapter", ours};
  const Calls failed = {"split.Stop", "createAdapter", "UnloadLibrary"};
  struct Step {
    int at;  // ms after the start
    Change change;
    bool news;
    std::optional<int> answer;  // ms until it wants to be called again
    Calls calls;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
    bool runningAfter = true;
    Members request = {};
  };
  const Row rows[] = {
      {"a burst of news is acted on once, after it settles",
       {{0, quiet, true, 100, {}},
        {60, quiet, true, 40, {}},
        {99, quiet, false, 1, {}},
        {100, quiet, false, std::nullopt, {"RoutesTo 198.51.100.7"}},
        {900, quiet, false, std::nullopt, {}}}},
      {"the pin moves to a better path and back when it goes",
       {{0, add("0.0.0.0/0 via 192.0.2.9 on 8", 5), true, 100, {}},
        {100, quiet, false, std::nullopt,
         {"RoutesTo 198.51.100.7", dropOurs, "CreateRoute 198.51.100.7/32 via 192.0.2.9 on 8"}},
        {500, dropAdded, true, 100, {}},
        {600, quiet, false, std::nullopt,
         {"RoutesTo 198.51.100.7", "DeleteRoute 198.51.100.7/32 via 192.0.2.9 on 8", ours}}}},
      {"a longer prefix wins over a lower metric; an unusable path never does",
       {{0, add("198.51.0.0/16 via 192.0.2.3 on 9", 50), true, 100, {}},
        {10, add("198.51.100.0/24 via 192.0.2.4 on 10", 1, false), true, 90, {}},
        {100, quiet, false, std::nullopt,
         {"RoutesTo 198.51.100.7", dropOurs, "CreateRoute 198.51.100.7/32 via 192.0.2.3 on 9"}}}},
      {"without any path the pin stays until one comes",
       {{0, uplinkDown, true, 100, {}},
        {100, quiet, false, std::nullopt, {"RoutesTo 198.51.100.7"}},
        {200, add("0.0.0.0/0 via 192.0.2.5 on 9", 10), true, 100, {}},
        {300, quiet, false, std::nullopt,
         {"RoutesTo 198.51.100.7", dropOurs, "CreateRoute 198.51.100.7/32 via 192.0.2.5 on 9"}}}},
      {"a host route someone else made is the path: ours goes, and comes back after it",
       {{0, add("198.51.100.7/32 via 192.0.2.7 on 9", 0), true, 100, {}},
        {100, quiet, false, std::nullopt, {"RoutesTo 198.51.100.7", dropOurs}},
        {200, dropAdded, true, 100, {}},
        {300, quiet, false, std::nullopt, {"RoutesTo 198.51.100.7", ours}}}},
      {"a vanished adapter is built again from the same request, split and all",
       {{0, vanish, true, 100, {}},
        {100, quiet, false, std::nullopt, Join({rebuilt, {"split.Start 4098 game.exe"}})}},
       true,
       {.routeMode = "process-beta"}},
      {"rebuilds soon after the last wait 1, 2, 4 s; a minute on they are at once again",
       {{0, vanish, true, 100, {}},
        {100, quiet, false, std::nullopt, rebuilt},
        {500, vanish, true, 100, {}},
        {600, quiet, false, 500, {}},
        {1100, quiet, false, std::nullopt, rebuilt},
        {1500, vanish, true, 100, {}},
        {1600, quiet, false, 1500, {}},
        {3100, quiet, false, std::nullopt, rebuilt},
        {3500, vanish, true, 100, {}},
        {3600, quiet, false, 3500, {}},
        {7100, quiet, false, std::nullopt, rebuilt},
        {70000, vanish, true, 100, {}},
        {70100, quiet, false, std::nullopt, rebuilt}}},
      {"rebuilds that fail are tried four times, then the tunnel is left down",
       {{0, vanishForGood, true, 100, {}},
        {100, quiet, false, 1000, {"split.Stop", "closeAdapter", dropOurs, "UnloadLibrary", "createAdapter",
                                   "UnloadLibrary"}},
        {1099, quiet, false, 1, {}},
        {1100, quiet, false, 2000, failed},
        {3100, quiet, false, 4000, failed},
        {7100, quiet, false, 8000, failed},
        {15100, quiet, false, std::nullopt, {"split.Stop"}},
        {16000, quiet, true, std::nullopt, {}}},
       false},
      {"a stop while a rebuild waits ends it",
       {{0, vanishForGood, true, 100, {}},
        {100, quiet, false, 1000, {"split.Stop", "closeAdapter", dropOurs, "UnloadLibrary", "createAdapter",
                                   "UnloadLibrary"}},
        {500, stop, false, std::nullopt, {"split.Stop"}},
        {1100, quiet, true, std::nullopt, {}}},
       false},
  };
  const auto changing = [](const std::string& call) {
    for (const char* kind : {"RoutesTo", "DeleteRoute", "CreateRoute 198.51.100.7/", "createAdapter", "closeAdapter",
                             "split.", "UnloadLibrary"}) {
      if (call.starts_with(kind)) return std::string_view(kind).ends_with("Adapter") ? std::string(kind) : call;
    }
    return std::string();
  };
  for (const Row& row : rows) {
    Rig rig;
    ASSERT_EQ(rig.Start(row.request), "started") << row.name;
    const UpkeepClock::time_point start{};
    for (const Step& step : row.steps) {
      const std::string label = std::string(row.name) + " at " + std::to_string(step.at) + " ms";
      const std::size_t from = rig.system.calls.size();
      if (step.change) step.change(rig);
      const auto answer = rig.tunnel.Upkeep(step.news, start + std::chrono::milliseconds(step.at));
      EXPECT_EQ(answer ? std::optional<int>(static_cast<int>(answer->count())) : std::nullopt, step.answer) << label;
      Calls calls;
      for (const std::string& call : rig.CallsSince(from)) {
        if (const std::string kept = changing(call); !kept.empty()) calls.push_back(kept);
      }
      EXPECT_EQ(calls, step.calls) << label;
    }
    EXPECT_EQ(rig.tunnel.Running(), row.runningAfter) << row.name;
    EXPECT_EQ(rig.system.openAdapters, row.runningAfter ? 1 : 0) << row.name;
    EXPECT_EQ(rig.Stop(), "stopped") << row.name;
    rig.ExpectNothingLeft({}, row.name);
  }
}

// A service killed at any instant is undone by the next from its record: at
// the moment each endpoint route is created, and once the pin has moved.
TEST(WireGuardTunnel, EveryEndpointRouteIsOnRecordBeforeItExists) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "zv-pin-record";
  std::filesystem::create_directories(folder);
  FakeTunnelSystem restarted;  // first: the fake library serves the newest system, the rig's
  restarted.recordPath = folder / "as-killed";
  Rig rig;
  rig.system.recordPath = folder / "tunnel-record";
  // What a restarted service would remove were this one killed now.
  const auto removedAfterAKill = [&] {
    std::filesystem::copy_file(rig.system.recordPath, restarted.recordPath,
                               std::filesystem::copy_options::overwrite_existing);
    restarted.calls.clear();
    RecoverStaleTunnel(restarted);
    return restarted.calls;
  };
  Calls atCreation;
  rig.system.onCall = [&](const std::string& call) {
    if (call.starts_with("CreateRoute 198.51.100.7/32")) {
      const Calls removed = removedAfterAKill();
      const std::string route = call.substr(std::string("CreateRoute ").size());
      atCreation.push_back(route + (std::count(removed.begin(), removed.end(), "DeleteRoute " + route) ? "" : " unrecorded"));
    }
  };
  ASSERT_EQ(rig.Start({}), "started");
  rig.system.paths.push_back({"0.0.0.0/0 via 192.0.2.9 on 8", 5});
  rig.tunnel.Upkeep(true, {});
  rig.tunnel.Upkeep(false, UpkeepClock::time_point{} + kUpkeepSettle);
  rig.system.onCall = nullptr;
  EXPECT_EQ(atCreation, (Calls{kEndpointRoute, "198.51.100.7/32 via 192.0.2.9 on 8"}));
  const Calls removed = removedAfterAKill();
  EXPECT_EQ(std::count(removed.begin(), removed.end(), "DeleteRoute 198.51.100.7/32 via 192.0.2.9 on 8"), 1)
      << "the moved pin";
  EXPECT_EQ(std::count(removed.begin(), removed.end(), "DeleteRoute " + std::string(kEndpointRoute)), 0)
      << "the route it moved from is gone already";

  rig.system.paths.push_back({"198.51.100.7/32 via 192.0.2.7 on 9", 0});  // someone else's
  rig.tunnel.Upkeep(true, UpkeepClock::time_point{} + std::chrono::seconds(1));
  rig.tunnel.Upkeep(false, UpkeepClock::time_point{} + std::chrono::seconds(1) + kUpkeepSettle);
  const Calls afterYielding = removedAfterAKill();
  EXPECT_EQ(std::count_if(afterYielding.begin(), afterYielding.end(),
                          [](const std::string& call) { return call.starts_with("DeleteRoute"); }),
            0)
      << "a route the service yielded to is not its own";
  std::filesystem::remove_all(folder);
}

TEST(LibraryPathBeside, TakesTheProgramFolder) {
  struct Row {
    std::u16string program, separators, expected;
  };
  const Row rows[] = {
      {u"C:\\Program Files\\X\\service.exe", u"\\/", u"C:\\Program Files\\X\\wireguard.dll"},
      {u"C:\\X\\\\\\service.exe", u"\\/", u"C:\\X\\wireguard.dll"},
      {u"C:/X/service.exe", u"\\/", u"C:/X\\wireguard.dll"},
      {u"/usr/sbin/accelerator-service", u"/", u"/usr/sbin/wireguard.dll"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(LibraryPathBeside(row.program, row.separators, u"wireguard.dll"), row.expected)
        << std::string(row.program.begin(), row.program.end());
  }
}

}  // namespace
}  // namespace zv

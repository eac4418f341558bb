// The WireGuard tunnel engine behind the control server, over a recording fake system.
#include "wireguard_tunnel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>


#include <cstring>
#include <functional>

#include "fake_tunnel_system.h"
#include "memory_connection.h"
#include "wireguard_config.h"

namespace zv {
namespace {

using Calls = std::vector<std::string>;
using test::FakeTunnelSystem;

constexpr char kPrivateKey[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyA=";  // bytes 1..32
constexpr char kServerKey[] = "gIGCg4SFhoeIiYqLjI2Oj5CRkpOUlZaXmJmam5ydnp8=";   // bytes 0x80..0x9f
constexpr char kKey31[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHw==";
constexpr char kKey33[] = "AQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHyAh";
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

// The peer's allowed networks as the configuration block carries them.
Calls PeerNetworks(const std::vector<std::uint8_t>& block) {
  Calls networks;
  for (std::size_t at = kConfigurationHeadSize; at + sizeof(AllowedIp) <= block.size(); at += sizeof(AllowedIp)) {
    AllowedIp entry;
    std::memcpy(&entry, block.data() + at, sizeof entry);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(entry.addressFamily == kFamilyIpv4 ? AF_INET : AF_INET6, entry.address, text, sizeof text);
    networks.push_back(std::string(text) + "/" + std::to_string(entry.cidr));
  }
  return networks;
}

// One service: the fake system under the engine under the control server.
struct Rig {
  test::Outcome Send(std::uint16_t operation, const std::string& body = {}) {
    return test::Exchange(server, test::Request(operation, ++id, body));
  }
  std::string Start(const Members& members) { return Send(2, Body(members)).body; }
  std::string State() { return Send(1).body; }
  Calls CallsSince(std::size_t from) const { return Calls(system.calls.begin() + from, system.calls.end()); }
  void ExpectNothingLeft(const std::multiset<std::string>& routesBefore, const std::string& label) {
    EXPECT_EQ(system.loadedLibraries, 0) << label;
    EXPECT_TRUE(system.openAdapters.empty()) << label;
    EXPECT_EQ(system.routes, routesBefore) << label;
    EXPECT_TRUE(system.addresses.empty()) << label;
    EXPECT_FALSE(system.splitRunning) << label;
    EXPECT_EQ(State(), kIdleBody) << label;
    EXPECT_FALSE(tunnel.Running()) << label;
  }

  FakeTunnelSystem system;
  WireGuardTunnel tunnel{system, system};
  StopEvent stopEvent;
  ControlServer server{stopEvent, tunnel};
  std::uint64_t id = 0;
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
  };
  for (const Row& row : rows) {
    Rig rig;
    EXPECT_EQ(rig.Start(row.request), kAcceleratingBody) << row.name;
    Calls routes;
    for (const std::string& route : row.routes) routes.push_back("CreateRoute " + route + " on 4097");
    const Calls expected = Join({kLoad,
                                 {"createAdapter ZENTRAVOLK ZENTRAVOLK", "DecodeKey", "DecodeKey",
                                  "ResolveAddress 198.51.100.7 51820",
                                  "setConfiguration " + std::to_string(216 + 24 * row.peer.size()),
                                  "BestRoute 198.51.100.7", std::string("CreateRoute ") + kEndpointRoute,
                                  "getAdapterLuid", "CreateAddress 10.240.0.2/32 on 4097"},
                                 routes,
                                 {"setAdapterState 1"},
                                 row.splitStart ? Calls{row.splitStart} : Calls{}});
    EXPECT_EQ(rig.system.calls, expected) << row.name;
    EXPECT_EQ(PeerNetworks(rig.system.configuration), row.peer) << row.name;

    // The keys and the endpoint are the request's, where WireGuardNT reads them.
    const auto& block = rig.system.configuration;
    ASSERT_GE(block.size(), kConfigurationHeadSize);
    EXPECT_EQ(block[6], 1);
    EXPECT_EQ(block[6 + 31], 32);
    EXPECT_EQ(block[80 + 8], 0x80);
    EXPECT_EQ(block[80 + 76], kFamilyIpv4);
    EXPECT_EQ((std::vector<std::uint8_t>(block.begin() + 80 + 78, block.begin() + 80 + 84)),
              (std::vector<std::uint8_t>{0xca, 0x6c, 198, 51, 100, 7}));  // port 51820, big-endian

    const std::size_t before = rig.system.calls.size();
    EXPECT_EQ(rig.Send(3).body, kIdleBody) << row.name;
    EXPECT_EQ(rig.CallsSince(before), Join({{"split.Stop"},
                                            Calls(kLoad.begin() + 2, kLoad.end()),
                                            {"setAdapterState 0", "closeAdapter 1",
                                             std::string("DeleteRoute ") + kEndpointRoute, "UnloadLibrary"}}))
        << row.name;
    rig.ExpectNothingLeft({}, row.name);
  }
}

TEST(WireGuardTunnel, EveryFailureAnswersItsCodeAndLeavesNothingBehind) {
  using Script = std::function<void(FakeTunnelSystem&)>;
  const auto fail = [](const char* call, std::uint32_t error, int nth = 0) {
    return Script([=](FakeTunnelSystem& system) { system.Fail(call, error, nth); });
  };
  const auto lacking = [](const char* name) {
    return Script([=](FakeTunnelSystem& system) { system.missingExports = {name}; });
  };
  const Script none = [](FakeTunnelSystem&) {};
  const Members split{.routeMode = "process-beta"};
  const std::string dropEndpoint = std::string("DeleteRoute ") + kEndpointRoute;
  struct Row {
    std::string code;
    Script script;
    Members request;
    Calls tail;  // the last calls, when their order matters
  };
  const Row rows[] = {
      {"invalid_tunnel_config", none, {.allowedIps = "[]"}, {}},
      // A control character would cut the text short where the system reads it: "/24" alone.
      {"invalid_tunnel_config", none, {.allowedIps = R"(["10.0.0.0/24\u0000junk"])"}, {}},
      {"invalid_tunnel_config", none, {.endpoint = "198.51.100.7:51820\n"}, {}},
      {"resolve_service_path_failed", fail("OwnProgramPath", 0), {}, {}},
      {"embedded_tunnel_component_missing", fail("LoadLibraryAt", 126), {}, {}},
      {"embedded_tunnel_api_invalid", lacking("WireGuardCreateAdapter"), {}, {}},
      {"embedded_tunnel_api_invalid", lacking("WireGuardCloseAdapter"), {}, {}},
      {"embedded_tunnel_api_invalid", lacking("WireGuardGetAdapterLUID"), {}, {}},
      {"embedded_tunnel_api_invalid", lacking("WireGuardSetConfiguration"), {}, {}},
      {"embedded_tunnel_api_invalid", lacking("WireGuardSetAdapterState"), {},
       {"FindExport WireGuardSetAdapterState", "UnloadLibrary"}},
      {"create_adapter_failed_5", fail("createAdapter", 5), {}, {}},
      {"invalid_allowed_ip", none, {.allowedIps = R"(["10.0.0.0/33"])"}, {"closeAdapter 1", "UnloadLibrary"}},
      {"invalid_allowed_ip", none, {.routeMode = "process-beta", .allowedIps = R"(["0.0.0.0/0","::/129"])"}, {}},
      {"invalid_private_key", none, {.privateKey = kKey31}, {}},
      {"invalid_private_key", fail("DecodeKey", 13, 1), {}, {}},
      {"invalid_server_public_key", none, {.serverKey = kKey33}, {}},
      {"invalid_endpoint", none, {.endpoint = ":51820"}, {}},
      {"invalid_endpoint", none, {.endpoint = "198.51.100.7:0"}, {}},
      {"invalid_endpoint", none, {.endpoint = "198.51.100.7:65536"}, {}},
      {"invalid_endpoint", fail("ResolveAddress", 11001), {}, {}},
      {"set_tunnel_config_failed_87", fail("setConfiguration", 87), {}, {}},
      {"resolve_endpoint_route_failed_1232", fail("BestRoute", 1232), {}, {}},
      {"create_endpoint_route_failed_5", fail("CreateRoute", 5, 1), {}, {}},
      {"configure_address_failed_87", fail("CreateAddress", 87), {}, {}},
      {"invalid_assigned_address", none, {.assignedIp = "fd00::2/64"}, {}},
      {"invalid_assigned_address", none, {.assignedIp = "10.240.0.2/x"}, {"closeAdapter 1", dropEndpoint, "UnloadLibrary"}},
      {"invalid_assigned_address", none, {.assignedIp = "10.240.0.2/4294967296"}, {}},
      // Lengths the system would cut to their low 8 bits (32) or read past.
      {"invalid_assigned_address", none, {.assignedIp = "10.240.0.2/288"}, {}},
      {"invalid_assigned_address", none, {.assignedIp = "10.240.0.2/-224"}, {}},
      {"invalid_assigned_address", none, {.assignedIp = "10.240.0.2/32junk"}, {}},
      {"invalid_assigned_address", none, {.assignedIp = "10.240.0.2/ 32"}, {}},
      {"invalid_assigned_address", none, {.assignedIp = "10.240.0.2/33"}, {}},
      {"configure_route_failed_160", fail("CreateRoute", 160, 3),
       {},
       {"CreateRoute 0.0.0.0/0 via 0.0.0.0 on 4097", "CreateRoute 2001:db8::/32 via :: on 4097", "closeAdapter 1",
        dropEndpoint, "UnloadLibrary"}},
      {"start_adapter_failed_31", fail("setAdapterState", 31),
       {},
       {"setAdapterState 1", "closeAdapter 1", dropEndpoint, "UnloadLibrary"}},
      {"smart_split_process_rules_empty",
       [](FakeTunnelSystem& system) { system.splitError = "smart_split_process_rules_empty"; }, split,
       {"split.Start 4097 game.exe", "setAdapterState 0", "closeAdapter 1", dropEndpoint, "UnloadLibrary"}},
  };
  for (const Row& row : rows) {
    Rig rig;
    row.script(rig.system);
    const std::string label = row.code + " " + Body(row.request);
    const test::Outcome outcome = rig.Send(2, Body(row.request));
    EXPECT_EQ(outcome.header.status, 4u) << label;
    EXPECT_EQ(outcome.body, ErrorBody(row.code)) << label;
    if (row.code == "invalid_tunnel_config") {
      EXPECT_TRUE(rig.system.calls.empty()) << "nothing loaded: " << label;
    }
    if (row.code.starts_with("invalid_") && row.code != "invalid_tunnel_config") {
      EXPECT_EQ(std::count(rig.system.calls.begin(), rig.system.calls.end(), "closeAdapter 1"), 1) << label;
    }
    const Calls& calls = rig.system.calls;
    if (!row.tail.empty() && calls.size() >= row.tail.size()) {
      EXPECT_EQ(Calls(calls.end() - static_cast<long>(row.tail.size()), calls.end()), row.tail) << label;
    }
    rig.ExpectNothingLeft({}, label);
    // A failed start does not stand in the way of the next one.
    rig.system.Heal();
    EXPECT_EQ(rig.Start({}), kAcceleratingBody) << label;
  }
}

TEST(WireGuardTunnel, ObjectsThatExistAlreadyAreUsedButNotOwned) {
  Rig rig;
  const std::multiset<std::string> before = {kEndpointRoute, "0.0.0.0/0 via 0.0.0.0 on 4097"};
  rig.system.routes = before;
  rig.system.addresses = {"10.240.0.2/32 on 4097"};
  ASSERT_EQ(rig.Start({}), kAcceleratingBody);
  ASSERT_EQ(rig.Send(3).body, kIdleBody);
  EXPECT_EQ(std::count_if(rig.system.calls.begin(), rig.system.calls.end(),
                          [](const std::string& call) { return call.starts_with("DeleteRoute"); }),
            0);
  rig.ExpectNothingLeft({kEndpointRoute}, "the endpoint route that was there stays");
}

TEST(WireGuardTunnel, StopWithoutTheLibraryFunctionsLeavesTheTunnelRunning) {
  Rig rig;
  ASSERT_EQ(rig.Start({.routeMode = "process-beta"}), kAcceleratingBody);
  rig.system.missingExports = {"WireGuardCloseAdapter"};
  const std::size_t before = rig.system.calls.size();
  const test::Outcome refused = rig.Send(3);
  EXPECT_EQ(refused.header.status, 4u);
  EXPECT_EQ(refused.body, ErrorBody("embedded_tunnel_api_invalid"));
  EXPECT_EQ(rig.CallsSince(before).front(), "split.Stop") << "the split stops first, in any case";
  EXPECT_EQ(rig.State(), kAcceleratingBody);
  EXPECT_EQ(rig.system.openAdapters.size(), 1u);
  EXPECT_EQ(rig.system.loadedLibraries, 1);
  EXPECT_EQ(rig.Start({}), ErrorBody("tunnel_already_running"));

  rig.system.missingExports.clear();
  EXPECT_EQ(rig.Send(3).body, kIdleBody);
  rig.ExpectNothingLeft({}, "stopped once the functions are back");
  EXPECT_EQ(rig.Send(3).body, kIdleBody) << "stopping an idle service succeeds";
  EXPECT_EQ(rig.system.calls.back(), "split.Stop") << "and still stops the split";
}

TEST(LibraryPathBeside, TakesTheProgramFolder) {
  struct Row {
    std::u16string program, separators, expected;
  };
  const Row rows[] = {
      {u"C:\\Program Files\\X\\service.exe", u"\\/", u"C:\\Program Files\\X\\wireguard.dll"},
      {u"C:\\X\\\\service.exe", u"\\/", u"C:\\X\\wireguard.dll"},
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

// The request's texts as the tunnel engine reads them (members, control
// characters, network prefixes), the split's two rules (which destinations
// stay direct, the fold that tells a game's name), and the gain's three: the
// game's server from its traffic, the figures' medians, the probe's kind.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <vector>

#include "address_text.h"

#include "allowed_ip.h"
#include "gain_rules.h"
#include "request_fields.h"
#include "split_rules.h"

namespace zv {
namespace {

TEST(ReadStringField, SearchesTheTextAsSpecified) {
  const std::pair<std::string_view, std::string> rows[] = {
      {R"({"endpoint":"198.51.100.7:51820"})", "198.51.100.7:51820"},
      {R"({"other":"x"})", ""},
      {R"({"endpoint" :  "a:1"})", "a:1"},
      {R"({"endpoint":"ab\"cd"})", "ab\\"},                // cut at the escaped quote, backslash kept
      {R"({"endpoint":5,"x":"next"})", "x"},                // a non-string yields the next quoted text
      {R"({"note":"endpoint","x":"y","endpoint":"z"})", "z"},  // a value is no member
      {R"({"endpoint":"a","endpoint":"b"})", "a"},              // the first member wins
      // Only the request object's own members: a backend's nested extras never count.
      {R"({"diagnostics":{"endpoint":"evil"},"endpoint":"good"})", "good"},
      {R"({"diagnostics":{"id":"1","endpoint":"evil"},"endpoint":"good"})", "good"},  // after a nested comma too
      {R"({"list":[{"endpoint":"evil"}],"endpoint":"good"})", "good"},
      {R"({"diagnostics":{"endpoint":"evil"}})", ""},
      {R"({"x":"a\"b","endpoint":"good"})", "good"},  // an escaped quote does not end a string here
      {R"({"x":"\",\"endpoint\":\"evil","endpoint":"good"})", "good"},  // a name inside a string
      {R"([{"endpoint":"evil"}])", ""},
      {R"({"endpoint":"open)", ""},
      {R"({"Endpoint":"x"})", ""},
  };
  for (const auto& [body, expected] : rows) EXPECT_EQ(ReadStringField(body, "endpoint"), expected) << body;
}

TEST(ReadStringArrayField, TakesOnlyQuotedTextsBetweenTheBrackets) {
  using List = std::vector<std::string>;
  const std::pair<std::string_view, List> rows[] = {
      {R"({"allowed_ips":["10.0.0.0/8","2001:db8::/32"]})", {"10.0.0.0/8", "2001:db8::/32"}},
      {R"({"allowed_ips":[]})", {}},
      {R"({"allowed_ips":"10.0.0.0/8"})", {}},
      {R"({"allowed_ips":["a","b")", {}},
      {R"({"allowed_ips":[1,"a",true,"",null]})", {"a", ""}},
      {R"({"allowed_ips":["a","b],"c"]})", {"a"}},  // an element crossing the bracket is dropped
      {R"({"allowed_ips":["a"],"x":"y"})", {"a"}},
      {R"({"n":{"allowed_ips":["evil"]},"allowed_ips":["a"]})", {"a"}},
  };
  for (const auto& [body, expected] : rows) EXPECT_EQ(ReadStringArrayField(body, "allowed_ips"), expected) << body;
}

TEST(HoldsControlCharacter, RawOrEscaped) {
  const std::pair<std::string_view, bool> rows[] = {
      {"10.240.0.2/32", false},   {R"(a\u0000b)", true},  {R"(a\u001F)", true},  {R"(a\u007f)", true},
      {R"(a\n)", true},          {R"(a\t)", true},       {"a\x01b", true},       {std::string_view("a\0b", 3), true},
      {R"(a\u0020)", false},     {R"(a\\n)", false},    {R"(a\u00)", false},    {R"(a\"b)", false},
      {R"(\u4e2d)", false},
  };
  for (const auto& [value, expected] : rows) EXPECT_EQ(HoldsControlCharacter(value), expected) << value;
}

TEST(ParsePrefix, Table) {
  const std::pair<const char*, const char*> rows[] = {
      {"10.0.0.0/8", "10.0.0.0/8"},       {"2001:db8::/32", "2001:db8::/32"},
      {"0.0.0.0/0", "0.0.0.0/0"},         {"10.0.0.0/32", "10.0.0.0/32"},
      {"10.0.0.0/33", "refused"},         {"::/128", "::/128"},
      {"::/129", "refused"},              {"10.0.0.0/-1", "refused"},
      {"10.0.0.0", "refused"},            {"10.0.0.0/24abc", "10.0.0.0/24"},
      {"10.0.0.0/ +24", "10.0.0.0/24"},   {"10.0.0.0/", "refused"},
      {"10.0.0.0/x", "refused"},          {"10.1.2.3/8", "10.1.2.3/8"},  // not masked
      {"10.0.0.0/4294967320", "refused"},  // would wrap to 24 if read into 32 bits unchecked
      {"10.0.0.0/-2147483648", "refused"}, {"", "refused"},
  };
  for (const auto& [text, expected] : rows) {
    IpPrefix entry;
    char address[INET6_ADDRSTRLEN] = "?";
    const bool parsed = ParsePrefix(text, entry);
    inet_ntop(entry.address.family == IpFamily::V6 ? AF_INET6 : AF_INET, entry.address.Bytes(), address, sizeof address);
    EXPECT_EQ(parsed ? std::string(address) + "/" + std::to_string(entry.length) : "refused", expected) << text;
  }
}

// Inside each range that stays direct, and just past its ends.
TEST(RoutedThroughTunnel, AllButThisNetworkPrivateLoopbackLinkLocalAndMulticast) {
  const std::pair<const char*, bool> rows[] = {
      {"8.8.8.8", true},          {"0.1.2.3", false},         {"1.0.0.0", true},          {"10.1.2.3", false},
      {"11.0.0.1", true},         {"127.0.0.1", false},       {"169.254.1.1", false},     {"169.253.255.255", true},
      {"169.255.0.0", true},      {"172.16.0.1", false},      {"172.31.255.255", false},  {"172.32.0.1", true},
      {"172.15.255.1", true},     {"192.168.1.1", false},     {"192.169.0.1", true},      {"223.255.255.255", true},
      {"224.0.0.1", false},       {"239.1.1.1", false},       {"255.255.255.255", false}, {"100.64.0.1", true},
  };
  for (const auto& [text, routed] : rows) {
    std::uint8_t remote[4];
    inet_pton(AF_INET, text, remote);
    EXPECT_EQ(RoutedThroughTunnel(remote), routed) << text;
  }
}

// The whole name, each character to its lowercase; text that is no UTF-8 is no name.
TEST(FoldName, LowersEveryCharacterOfStrictUtf8) {
  const std::pair<std::string_view, std::optional<std::string>> rows[] = {
      {"Game.EXE", "game.exe"},           {"ÜBERGAME.EXE", "übergame.exe"},  {"ΣΚΙΑ.exe", "σκια.exe"},
      {"ИГРА.exe", "игра.exe"},           {"游戏.exe", "游戏.exe"},           {"𐐀.exe", "𐐨.exe"},  // beyond 16 bits
      {"\xc3\x28", std::nullopt},         {"\xc0\xaf", std::nullopt},         // cut off; overlong
      {"\xed\xa0\x80", std::nullopt},     {"\xf4\x90\x80\x80", std::nullopt},  // a surrogate; past U+10FFFF
  };
  for (const auto& [name, folded] : rows) EXPECT_EQ(FoldName(name), folded) << name;
}

// The most recent destination that goes through the tunnel, with the game's latest TCP port to it.
TEST(GameServerOf, TheLatestTunnelledDestinationWithItsTcpPort) {
  using Traffic = std::vector<std::tuple<const char*, std::uint16_t, std::uint8_t, int>>;  // address, port, protocol, second
  const std::pair<Traffic, const char*> rows[] = {
      {{}, ""}, {{{"203.0.113.7", 27015, kProtocolUdp, 1}}, "203.0.113.7:0"},
      {{{"203.0.113.7", 27015, kProtocolUdp, 1}, {"198.51.100.9", 443, kProtocolTcp, 2}}, "198.51.100.9:443"},
      {{{"203.0.113.7", 443, kProtocolTcp, 1}, {"203.0.113.7", 8080, kProtocolTcp, 3}, {"203.0.113.7", 27015, kProtocolUdp, 2}},
       "203.0.113.7:8080"},
      {{{"203.0.113.7", 27015, kProtocolUdp, 1}, {"198.51.100.9", 443, kProtocolTcp, 0}}, "203.0.113.7:0"},
      {{{"203.0.113.7", 27015, kProtocolUdp, 1}, {"192.168.1.5", 27015, kProtocolUdp, 2}}, "203.0.113.7:0"},  // the LAN
      {{{"203.0.113.7", 27015, kProtocolUdp, 1}, {"10.240.0.1", 0, 1, 2}}, "203.0.113.7:0"},  // the node
      {{{"203.0.113.7", 27015, kProtocolUdp, 1}, {"8.8.8.8", 53, kProtocolUdp, 2}, {"203.0.113.7", 53, kProtocolTcp, 3}},
       "203.0.113.7:0"},  // name lookups
  };
  for (const auto& [traffic, expected] : rows) {
    std::vector<TrafficRecord> records;
    for (const auto& [text, port, protocol, second] : traffic) {
      TrafficRecord record{{}, protocol, std::chrono::steady_clock::time_point(std::chrono::seconds(second))};
      inet_pton(AF_INET, text, record.destination.Bytes());
      record.destination.port = port;
      records.push_back(record);
    }
    const auto server = GameServerOf(records);
    const std::string seen = server ? Ipv4Text(server->Bytes()) + ":" + std::to_string(server->port) : "";
    EXPECT_EQ(seen, expected) << expected;
  }
}

// Unanswered probes are left out, and only the last five count.
TEST(MedianMs, OfTheAnsweredAmongTheLastFive) {
  using us = std::chrono::microseconds;
  const std::pair<std::vector<RoundTrip>, std::optional<long long>> rows[] = {
      {{}, std::nullopt}, {{std::nullopt, std::nullopt}, std::nullopt}, {{us(60400)}, 60},
      {{us(10000), std::nullopt, us(30000), us(20000)}, 20}, {{us(10000), us(15000)}, 13},  // 12.5 rounded up
      {{us(90000), us(90000), us(9000), us(10000), us(11000), us(12000)}, 11},  // of all six: 12
  };
  for (const auto& [samples, median] : rows) EXPECT_EQ(MedianMs(samples), median) << samples.size();
}

// Echoes while they are answered, or while the machine has no path at all; then the game's TCP port, if any.
TEST(ProbeAfter, EchoesGiveWayToTheGamesTcpPortOnlyWhenUnansweredOverAPath) {
  const std::tuple<GameProbe, bool, bool, std::uint16_t, GameProbe> rows[] = {
      {GameProbe::Icmp, true, true, 443, GameProbe::Icmp},  {GameProbe::Icmp, false, true, 443, GameProbe::Tcp},
      {GameProbe::Icmp, false, false, 443, GameProbe::Icmp}, {GameProbe::Icmp, false, true, 0, GameProbe::Icmp},
      {GameProbe::Tcp, false, true, 443, GameProbe::Tcp},    {GameProbe::Tcp, true, true, 443, GameProbe::Tcp},
  };
  for (const auto& [used, answered, uplink, port, next] : rows) {
    EXPECT_EQ(ProbeAfter(used, answered, uplink, port), next) << static_cast<int>(used) << answered << uplink << port;
  }
}

}  // namespace
}  // namespace zv

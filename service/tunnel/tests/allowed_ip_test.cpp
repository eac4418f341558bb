#include "allowed_ip.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "endpoint.h"

namespace zv {
namespace {

AllowedIp Entry(std::uint16_t family, const char* address, std::uint8_t cidr) {
  AllowedIp entry{};
  entry.addressFamily = family;
  entry.cidr = cidr;
  inet_pton(family == kFamilyIpv4 ? AF_INET : AF_INET6, address, entry.address);
  return entry;
}

bool Same(const AllowedIp& a, const AllowedIp& b) {
  return std::memcmp(a.address, b.address, sizeof a.address) == 0 && a.addressFamily == b.addressFamily &&
         a.cidr == b.cidr;
}

TEST(ParsePrefix, Table) {
  struct Row {
    const char* text;
    bool ok;
    std::uint16_t family;
    const char* address;
    std::uint8_t cidr;
  };
  const Row rows[] = {
      {"10.0.0.0/8", true, kFamilyIpv4, "10.0.0.0", 8},
      {"2001:db8::/32", true, kFamilyIpv6, "2001:db8::", 32},
      {"0.0.0.0/0", true, kFamilyIpv4, "0.0.0.0", 0},
      {"10.0.0.0/32", true, kFamilyIpv4, "10.0.0.0", 32},
      {"10.0.0.0/33", false, 0, nullptr, 0},
      {"::/128", true, kFamilyIpv6, "::", 128},
      {"::/129", false, 0, nullptr, 0},
      {"10.0.0.0/-1", false, 0, nullptr, 0},
      {"10.0.0.0", false, 0, nullptr, 0},
      {"10.0.0.0/24abc", true, kFamilyIpv4, "10.0.0.0", 24},
      {"10.0.0.0/ 24", true, kFamilyIpv4, "10.0.0.0", 24},
      {"10.0.0.0/+24", true, kFamilyIpv4, "10.0.0.0", 24},
      {"10.0.0.0/", false, 0, nullptr, 0},
      {"10.0.0.0/x", false, 0, nullptr, 0},
      {"10.0.0.0/4294967320", false, 0, nullptr, 0},  // wraps to 24 if read into 32 bits unchecked
      {"10.1.2.3/8", true, kFamilyIpv4, "10.1.2.3", 8},  // not masked
      {"", false, 0, nullptr, 0},
      {"/8", false, 0, nullptr, 0},
      {"10.0.0/8", false, 0, nullptr, 0},
      {"[::1]/128", false, 0, nullptr, 0},
  };
  for (const Row& row : rows) {
    AllowedIp entry{};
    std::memset(&entry, 0xAB, sizeof entry);
    EXPECT_EQ(ParsePrefix(row.text, entry), row.ok) << row.text;
    if (row.ok) {
      EXPECT_TRUE(Same(entry, Entry(row.family, row.address, row.cidr))) << row.text;
    }
  }
}

TEST(ParsePrefix, Ipv4EntryIsZeroPaddedInNetworkOrder) {
  AllowedIp entry{};
  std::memset(&entry, 0xAB, sizeof entry);
  ASSERT_TRUE(ParsePrefix("192.0.2.1/24", entry));
  const std::uint8_t expected[16] = {192, 0, 2, 1};
  EXPECT_EQ(std::memcmp(entry.address, expected, 16), 0);
}

TEST(ReadDecimal, StrtolLikeWithin32Bits) {
  EXPECT_EQ(ReadDecimal("2147483647"), 2147483647);
  EXPECT_EQ(ReadDecimal("-2147483648"), -2147483647 - 1);
  EXPECT_FALSE(ReadDecimal("2147483648"));
  EXPECT_FALSE(ReadDecimal("99999999999999999999999"));
  EXPECT_FALSE(ReadDecimal("-"));
  EXPECT_EQ(ReadDecimal("\t\n 7z"), 7);
}

std::vector<std::string> Texts(const std::vector<AllowedIp>& list) {
  std::vector<std::string> texts;
  for (const AllowedIp& entry : list) {
    char buffer[INET6_ADDRSTRLEN];
    inet_ntop(entry.addressFamily == kFamilyIpv4 ? AF_INET : AF_INET6, entry.address, buffer, sizeof buffer);
    texts.push_back(std::string(buffer) + "/" + std::to_string(entry.cidr));
  }
  return texts;
}

TEST(BuildTunnelLists, SplitRoutingKeepsNarrowIpv4RoutesOnly) {
  TunnelLists lists;
  ASSERT_TRUE(BuildTunnelLists(
      true, {"0.0.0.0/0", "203.0.113.0/24", "198.51.0.0/16", "2001:db8::/32", "198.0.0.0/8"}, lists));
  EXPECT_EQ(Texts(lists.peer), (std::vector<std::string>{"0.0.0.0/0", "10.240.0.1/32"}));
  EXPECT_EQ(Texts(lists.routes), (std::vector<std::string>{"203.0.113.0/24", "198.51.0.0/16", "10.240.0.1/32"}));
}

TEST(BuildTunnelLists, FullRoutingTakesEveryElementInOrder) {
  TunnelLists lists;
  ASSERT_TRUE(BuildTunnelLists(false, {"0.0.0.0/0"}, lists));
  EXPECT_EQ(Texts(lists.peer), (std::vector<std::string>{"0.0.0.0/0", "10.240.0.1/32"}));
  EXPECT_EQ(Texts(lists.routes), Texts(lists.peer));

  ASSERT_TRUE(BuildTunnelLists(false, {"2001:db8::/32", "10.0.0.0/8"}, lists));
  EXPECT_EQ(Texts(lists.routes), (std::vector<std::string>{"2001:db8::/32", "10.0.0.0/8", "10.240.0.1/32"}));
}

TEST(BuildTunnelLists, AnUnparsableElementFailsEvenWhenSplitRoutingWouldDropIt) {
  TunnelLists lists;
  EXPECT_FALSE(BuildTunnelLists(true, {"203.0.113.0/24", "2001:db8::/129"}, lists));
  EXPECT_FALSE(BuildTunnelLists(false, {"10.0.0.0/33"}, lists));
}

TEST(SplitEndpoint, SplitsAtTheLastColon) {
  struct Row {
    const char* text;
    bool ok;
    const char* host;
    const char* port;
  };
  const Row rows[] = {
      {"198.51.100.7:51820", true, "198.51.100.7", "51820"},
      {"2001:db8::1:51820", true, "2001:db8::1", "51820"},
      {"node.example:443", true, "node.example", "443"},
      {"no-port", false, "", ""},
      {"", false, "", ""},
      {":51820", true, "", "51820"},
  };
  for (const Row& row : rows) {
    std::string host, port;
    EXPECT_EQ(SplitEndpoint(row.text, host, port), row.ok) << row.text;
    if (row.ok) {
      EXPECT_EQ(host, row.host) << row.text;
      EXPECT_EQ(port, row.port) << row.text;
    }
  }
}

}  // namespace
}  // namespace zv

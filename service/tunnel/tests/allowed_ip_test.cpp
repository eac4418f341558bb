#include "allowed_ip.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "endpoint.h"

namespace zv {
namespace {

// "address/length" as read back from an entry, or "refused".
std::string Text(const AllowedIp& entry) {
  char buffer[INET6_ADDRSTRLEN] = "?";
  inet_ntop(entry.addressFamily == kFamilyIpv4 ? AF_INET : AF_INET6, entry.address, buffer, sizeof buffer);
  const bool padded = entry.addressFamily != kFamilyIpv4 || std::all_of(entry.address + 4, entry.address + 16,
                                                                           [](std::uint8_t b) { return b == 0; });
  return std::string(buffer) + "/" + std::to_string(entry.cidr) + (entry.addressFamily == kFamilyIpv6 ? " v6" : "") +
         (padded ? "" : " unpadded");
}

TEST(ParsePrefix, Table) {
  const std::pair<const char*, const char*> rows[] = {
      {"10.0.0.0/8", "10.0.0.0/8"},       {"2001:db8::/32", "2001:db8::/32 v6"},
      {"0.0.0.0/0", "0.0.0.0/0"},         {"10.0.0.0/32", "10.0.0.0/32"},
      {"10.0.0.0/33", "refused"},         {"::/128", "::/128 v6"},
      {"::/129", "refused"},              {"10.0.0.0/-1", "refused"},
      {"10.0.0.0", "refused"},            {"10.0.0.0/24abc", "10.0.0.0/24"},
      {"10.0.0.0/ +24", "10.0.0.0/24"},   {"10.0.0.0/", "refused"},
      {"10.0.0.0/x", "refused"},          {"10.1.2.3/8", "10.1.2.3/8"},  // not masked
      {"10.0.0.0/4294967320", "refused"},  // would wrap to 24 if read into 32 bits unchecked
      {"10.0.0.0/-2147483648", "refused"}, {"", "refused"},
  };
  for (const auto& [text, expected] : rows) {
    AllowedIp entry;
    std::memset(&entry, 0xAB, sizeof entry);  // stale bytes must not survive
    EXPECT_EQ(ParsePrefix(text, entry) ? Text(entry) : "refused", expected) << text;
  }
}

TEST(SplitEndpoint, SplitsAtTheLastColon) {
  std::string host, port;
  ASSERT_TRUE(SplitEndpoint("2001:db8::1:51820", host, port));
  EXPECT_EQ(host + " " + port, "2001:db8::1 51820");
  ASSERT_TRUE(SplitEndpoint("node.example:443", host, port));
  EXPECT_EQ(host + " " + port, "node.example 443");
  EXPECT_FALSE(SplitEndpoint("no-port", host, port));
  EXPECT_FALSE(SplitEndpoint("", host, port));
}

}  // namespace
}  // namespace zv

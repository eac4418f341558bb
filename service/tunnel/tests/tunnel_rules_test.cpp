// The request's texts as the tunnel engine reads them: members, control
// characters and network prefixes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "allowed_ip.h"
#include "request_fields.h"

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

}  // namespace
}  // namespace zv

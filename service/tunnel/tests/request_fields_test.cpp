#include "request_fields.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

TEST(ReadStringField, SearchesTheTextAsSpecified) {
  const std::pair<std::string_view, std::string> rows[] = {
      {R"({"endpoint":"198.51.100.7:51820"})", "198.51.100.7:51820"},
      {R"({"other":"x"})", ""},
      {R"({"endpoint" :  "a:1"})", "a:1"},
      {R"({"endpoint":"ab\"cd"})", "ab\\"},                // cut at the escaped quote, backslash kept
      {R"({"endpoint":5,"x":"next"})", "x"},                // a non-string yields the next quoted text
      {R"({"note":"endpoint","x":"y","endpoint":"z"})", "y"},  // the first occurrence anywhere
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
  };
  for (const auto& [body, expected] : rows) EXPECT_EQ(ReadStringArrayField(body, "allowed_ips"), expected) << body;
}

}  // namespace
}  // namespace zv

#include "request_fields.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

TEST(ReadStringField, SearchesTheTextAsSpecified) {
  struct Row {
    const char* name;
    std::string_view body;
    std::string expected;
  };
  const Row rows[] = {
      {"plain member", R"({"endpoint":"198.51.100.7:51820"})", "198.51.100.7:51820"},
      {"missing member", R"({"other":"x"})", ""},
      {"empty body", "", ""},
      {"spaces around the colon", R"({"endpoint" :  "a:1"})", "a:1"},
      {"escaped quote cuts the value, backslash stays", R"({"endpoint":"ab\"cd"})", "ab\\"},
      {"non-string value yields the next quoted text", R"({"endpoint":5,"x":"next"})", "x"},
      {"first occurrence wins", R"({"endpoint":"one","endpoint":"two"})", "one"},
      {"name as another member's value counts too", R"({"note":"endpoint","x":"y","endpoint":"real"})", "y"},
      {"no colon after the name", R"({"endpoint"})", ""},
      {"no closing quote", R"({"endpoint":"open)", ""},
      {"case-sensitive name", R"({"Endpoint":"x"})", ""},
      {"unknown members are ignored", R"({"a":[1,2],"endpoint":"e","b":{}})", "e"},
      {"raw value, no unescaping", R"({"endpoint":"a\u0041b"})", "a\\u0041b"},
  };
  for (const Row& row : rows) EXPECT_EQ(ReadStringField(row.body, "endpoint"), row.expected) << row.name;
}

TEST(ReadStringArrayField, TakesOnlyQuotedTextsBetweenTheBrackets) {
  using List = std::vector<std::string>;
  struct Row {
    const char* name;
    std::string_view body;
    List expected;
  };
  const Row rows[] = {
      {"elements in order", R"({"allowed_ips":["10.0.0.0/8","2001:db8::/32"]})", {"10.0.0.0/8", "2001:db8::/32"}},
      {"empty array", R"({"allowed_ips":[]})", {}},
      {"missing member", R"({"game_processes":["a.exe"]})", {}},
      {"no opening bracket", R"({"allowed_ips":"10.0.0.0/8"})", {}},
      {"no closing bracket", R"({"allowed_ips":["a","b")", {}},
      {"non-string elements skipped", R"({"allowed_ips":[1,"a",true,"b",null]})", {"a", "b"}},
      {"element crossing the bracket is dropped", R"({"allowed_ips":["a","b],"c"]})", {"a"}},
      {"quotes after the bracket are not elements", R"({"allowed_ips":["a"],"x":"y"})", {"a"}},
      {"empty element kept", R"({"allowed_ips":["","a"]})", {"", "a"}},
  };
  for (const Row& row : rows) EXPECT_EQ(ReadStringArrayField(row.body, "allowed_ips"), row.expected) << row.name;
}

}  // namespace
}  // namespace zv

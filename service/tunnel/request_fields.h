// Readers for the tunnel start request. They search the text for a member's
// quoted name instead of parsing JSON, and return values raw (no unescaping).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zv {

std::string ReadStringField(std::string_view body, std::string_view key);
std::vector<std::string> ReadStringArrayField(std::string_view body, std::string_view key);

}  // namespace zv

// Readers for the tunnel start request. They find a member of the request
// object itself (never one inside a nested object, array or string), then
// take its value from the text as it stands, without parsing JSON or undoing
// escapes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zv {

// The quoted text after the member's colon, cut at the next quote (an escaped
// one included); empty when there is no such member. It points into `body`.
std::string_view ReadStringField(std::string_view body, std::string_view key);
// The quoted texts between the member's '[' and the first ']' after it.
std::vector<std::string> ReadStringArrayField(std::string_view body, std::string_view key);

// Whether a value as read holds a control character, as a raw byte or as a
// JSON escape (\n, \u0000 and the like) that stands for one.
bool HoldsControlCharacter(std::string_view value);

}  // namespace zv

#include "request_fields.h"

namespace zv {
namespace {

constexpr auto npos = std::string_view::npos;

// The closing quote of the JSON string that opens at `open`, or npos.
std::size_t StringEnd(std::string_view body, std::size_t open) {
  for (std::size_t at = open + 1; at < body.size(); ++at) {
    if (body[at] == '\\') ++at;
    else if (body[at] == '"') return at;
  }
  return npos;
}

// Just past the name of the request object's first member called `key`, or
// npos. Only names count: a nested object's members, array elements and the
// contents of strings never do, so a backend's extra members cannot stand in
// for the ones the service reads.
std::size_t AfterMemberName(std::string_view body, std::string_view key) {
  int depth = 0;
  bool nameNext = false;  // in the request object, where the next string is a member name
  for (std::size_t at = 0; at < body.size(); ++at) {
    switch (body[at]) {
      case '"': {
        const std::size_t close = StringEnd(body, at);
        if (close == npos) return npos;
        if (nameNext && body.substr(at + 1, close - at - 1) == key) return close + 1;
        nameNext = false;
        at = close;
        break;
      }
      case '{':
      case '[':
        nameNext = depth == 0 && body[at] == '{';
        if (depth == 0 && !nameNext) return npos;  // the request is an object, or nothing
        ++depth;
        break;
      case '}':
      case ']':
        if (--depth == 0) return npos;  // the request object has ended
        nameNext = false;
        break;
      case ',':
        nameNext = depth == 1;
        break;
      default:
        break;
    }
  }
  return npos;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsControl(unsigned value) { return value < 0x20 || value == 0x7f; }

}  // namespace

std::string_view ReadStringField(std::string_view body, std::string_view key) {
  const std::size_t after = AfterMemberName(body, key);
  if (after == npos) return {};
  const std::size_t colon = body.find(':', after);
  if (colon == npos) return {};
  const std::size_t open = body.find('"', colon);
  if (open == npos) return {};
  const std::size_t close = body.find('"', open + 1);
  if (close == npos) return {};
  return body.substr(open + 1, close - open - 1);
}

std::vector<std::string> ReadStringArrayField(std::string_view body, std::string_view key) {
  std::vector<std::string> elements;
  const std::size_t after = AfterMemberName(body, key);
  if (after == npos) return elements;
  const std::size_t open = body.find('[', after);
  if (open == npos) return elements;
  const std::size_t close = body.find(']', open);
  if (close == npos) return elements;

  std::size_t cursor = open;
  for (;;) {
    const std::size_t first = body.find('"', cursor + 1);
    if (first == npos || first > close) break;
    const std::size_t second = body.find('"', first + 1);
    if (second == npos) break;
    cursor = second;
    if (second > close) break;
    elements.emplace_back(body.substr(first + 1, second - first - 1));
  }
  return elements;
}

bool HoldsControlCharacter(std::string_view value) {
  for (std::size_t at = 0; at < value.size(); ++at) {
    if (IsControl(static_cast<unsigned char>(value[at]))) return true;
    if (value[at] != '\\' || at + 1 >= value.size()) continue;
    const char escaped = value[++at];
    if (escaped == 'b' || escaped == 'f' || escaped == 'n' || escaped == 'r' || escaped == 't') return true;
    if (escaped != 'u' || value.size() - at < 5) continue;  // \u and four digits
    unsigned code = 0;
    bool hex = true;
    for (std::size_t i = 1; i <= 4; ++i) {
      const int digit = HexValue(value[at + i]);
      hex = hex && digit >= 0;
      code = code << 4 | static_cast<unsigned>(digit < 0 ? 0 : digit);
    }
    if (hex && IsControl(code)) return true;
  }
  return false;
}

}  // namespace zv

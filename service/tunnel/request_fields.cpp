#include "request_fields.h"

namespace zv {
namespace {

constexpr auto npos = std::string_view::npos;

// Position just past the first occurrence of "key" (with its quotes), or npos.
std::size_t AfterNeedle(std::string_view body, std::string_view key) {
  std::string needle;
  needle.reserve(key.size() + 2);
  needle.append(1, '"').append(key).append(1, '"');
  const std::size_t at = body.find(needle);
  return at == npos ? npos : at + needle.size();
}

}  // namespace

std::string ReadStringField(std::string_view body, std::string_view key) {
  const std::size_t after = AfterNeedle(body, key);
  if (after == npos) return {};
  const std::size_t colon = body.find(':', after);
  if (colon == npos) return {};
  const std::size_t open = body.find('"', colon);
  if (open == npos) return {};
  const std::size_t close = body.find('"', open + 1);
  if (close == npos) return {};
  return std::string(body.substr(open + 1, close - open - 1));
}

std::vector<std::string> ReadStringArrayField(std::string_view body, std::string_view key) {
  std::vector<std::string> elements;
  const std::size_t after = AfterNeedle(body, key);
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

}  // namespace zv

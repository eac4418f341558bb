#include "split_rules.h"

#include "system_lookups.h"

namespace zv {
namespace {

// Strict UTF-8, as MultiByteToWideChar with MB_ERR_INVALID_CHARS reads it.
std::optional<std::u32string> DecodeUtf8(std::string_view text) {
  std::u32string out;
  for (std::size_t at = 0; at < text.size();) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return std::nullopt;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[at + i]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      value = value << 6 | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
    out.push_back(value);
    at += length;
  }
  return out;
}

void AppendUtf8(char32_t value, std::string& out) {
  if (value < 0x80) {
    out.push_back(static_cast<char>(value));
    return;
  }
  const int tail = value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
  static constexpr char32_t kLead[] = {0, 0xC0, 0xE0, 0xF0};
  out.push_back(static_cast<char>(kLead[tail] | (value >> (6 * tail))));
  for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6) out.push_back(static_cast<char>(0x80 | ((value >> shift) & 0x3F)));
}

}  // namespace

bool RoutedThroughTunnel(const std::uint8_t (&remote)[4]) {
  for (const Ipv4Range& range : kDirectRanges) {
    const std::uint32_t address = std::uint32_t{remote[0]} << 24 | remote[1] << 16 | remote[2] << 8 | remote[3];
    const std::uint32_t network = std::uint32_t{range.network[0]} << 24 | range.network[1] << 16 |
                                  range.network[2] << 8 | range.network[3];
    const std::uint32_t mask = range.prefixLength == 0 ? 0 : ~std::uint32_t{0} << (32 - range.prefixLength);
    if ((address & mask) == network) return false;
  }
  return true;
}

std::optional<std::string> FoldName(std::string_view name) {
  const auto characters = DecodeUtf8(name);
  if (!characters) return std::nullopt;
  std::string folded;
  folded.reserve(name.size());
  for (const char32_t character : *characters) {
    const char32_t lower = LowerCase(character);
    // A mapping out of Unicode's range or into a surrogate would be no character at all.
    AppendUtf8(lower <= 0x10FFFF && (lower < 0xD800 || lower > 0xDFFF) ? lower : character, folded);
  }
  return folded;
}

std::vector<std::string> FoldGameNames(const std::vector<std::string>& gameProcesses) {
  std::vector<std::string> names;
  for (const std::string& text : gameProcesses) {
    if (auto name = text.empty() ? std::nullopt : FoldName(text)) names.push_back(std::move(*name));
  }
  return names;
}

}  // namespace zv

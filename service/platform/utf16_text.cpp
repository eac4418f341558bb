#include "utf16_text.h"

#include <cwctype>

namespace zv {

std::optional<std::u16string> Utf16FromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
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
    if (value < 0x10000) {
      out.push_back(static_cast<char16_t>(value));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    }
    at += length;
  }
  return out;
}

std::optional<std::string> Utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    char32_t value = text[at];
    if (value >= 0xD800 && value <= 0xDFFF) {
      if (value > 0xDBFF || at + 1 >= text.size() || text[at + 1] < 0xDC00 || text[at + 1] > 0xDFFF) return std::nullopt;
      value = 0x10000 + ((value - 0xD800) << 10) + (text[++at] - 0xDC00);
    }
    if (value < 0x80) {
      out.push_back(static_cast<char>(value));
      continue;
    }
    const int tail = value < 0x800 ? 1 : value < 0x10000 ? 2 : 3;
    static constexpr char32_t kLead[] = {0, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<char>(kLead[tail] | (value >> (6 * tail))));
    for (int shift = 6 * (tail - 1); shift >= 0; shift -= 6) out.push_back(static_cast<char>(0x80 | ((value >> shift) & 0x3F)));
  }
  return out;
}

void FoldCase(std::u16string_view text, std::u16string& folded) {
  folded.resize(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    folded[i] = static_cast<char16_t>(std::towlower(static_cast<std::wint_t>(text[i])));
  }
}

}  // namespace zv

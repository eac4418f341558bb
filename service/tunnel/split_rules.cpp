#include "split_rules.h"

#include "utf16_text.h"

namespace zv {

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

std::vector<std::u16string> FoldGameNames(const std::vector<std::string>& gameProcesses) {
  std::vector<std::u16string> names;
  for (const std::string& text : gameProcesses) {
    if (text.empty()) continue;
    const auto name = Utf16FromUtf8(text);
    if (!name) continue;
    names.emplace_back();
    FoldCase(*name, names.back());
  }
  return names;
}

}  // namespace zv

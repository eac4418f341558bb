// The rules of split routing that both platforms follow: which destinations
// stay direct for the game too, and how game names are compared.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "net_types.h"

namespace zv {

// This network, private ranges, loopback, link-local, multicast and above:
// the game's LAN, its resolver on the LAN and the like never enter the tunnel.
inline constexpr Ipv4Range kDirectRanges[] = {
    {{0, 0, 0, 0}, 8},    {{10, 0, 0, 0}, 8},     {{127, 0, 0, 0}, 8},   {{169, 254, 0, 0}, 16},
    {{172, 16, 0, 0}, 12}, {{192, 168, 0, 0}, 16}, {{224, 0, 0, 0}, 3},
};

bool RoutedThroughTunnel(const std::uint8_t (&remote)[4]);

// The request's names as the tracker compares them: strict UTF-8 to UTF-16,
// then towlower on every unit; empty and invalid ones are left out, duplicates stay.
std::vector<std::u16string> FoldGameNames(const std::vector<std::string>& gameProcesses);

}  // namespace zv

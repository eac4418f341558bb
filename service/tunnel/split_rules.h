// The rules of split routing that both platforms follow: which destinations
// stay direct for the game too, and who is the game.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// A process is the game when its executable's file name, folded, is one of the
// game's names, folded: every character to its simple lowercase mapping (so
// "ÜBERGAME.EXE" is "übergame.exe"), the whole name compared. Nothing for a
// text that is not strict UTF-8 (overlong forms, surrogates, cut-off sequences).
std::optional<std::string> FoldName(std::string_view name);

// The request's names, folded; empty and invalid ones are left out, duplicates stay.
std::vector<std::string> FoldGameNames(const std::vector<std::string>& gameProcesses);

}  // namespace zv

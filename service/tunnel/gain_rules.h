// The rules of measuring what the acceleration gains: which server is the
// game's, what the last round trips sum up to, and which probe can measure it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "game_steering.h"

namespace zv {

// The game's server: the destination of its most recent traffic, leaving out
// what stays direct (kDirectRanges, the node's own tunnel address among them)
// and name lookups (port 53); its port is the game's TCP port to it (the most recent),
// 0 when it has none. Nothing while the game has not talked. IPv4 only.
std::optional<IpAddress> GameServerOf(std::span<const TrafficRecord> records);

// A figure sums up this many of the latest probes.
inline constexpr std::size_t kGainSamples = 5;
using RoundTrip = std::optional<std::chrono::microseconds>;  // nothing: no answer
// The median of the answered among the last kGainSamples (of two in the
// middle, their mean), in whole milliseconds; nothing when none was answered.
std::optional<long long> MedianMs(std::span<const RoundTrip> samples);

enum class GameProbe { None, Icmp, Tcp };
// The probe after a round that used `used` (Icmp or Tcp): a server is first
// asked for echoes, which stay while anything answers them; echoes unanswered
// both ways while the machine has a path give way to a connection to the
// game's own TCP port, when it has one, for as long as that server stays.
GameProbe ProbeAfter(GameProbe used, bool answered, bool uplink, std::uint16_t tcpPort);

}  // namespace zv

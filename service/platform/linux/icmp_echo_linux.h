// One ICMP echo from a raw socket: the service is root, and a raw socket needs
// no ping group (a fresh network namespace allows none).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace zv {

// `prepare` sets the socket up (its device, its mark) before anything is
// sent; false sends nothing. The round trip, or nothing within `wait`.
std::optional<std::chrono::microseconds> EchoOnce(const std::uint8_t (&to)[4], const std::function<bool(int socket)>& prepare,
                                                  std::chrono::milliseconds wait);

}  // namespace zv

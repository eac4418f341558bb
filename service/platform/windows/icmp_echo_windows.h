// One echo through IP Helper, which any process may send: the round trip in
// whole milliseconds, or nothing when no answer came within `wait`.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <optional>

namespace zv {

// From `source` when given (sent through that address's interface), else as the routes say.
std::optional<std::chrono::microseconds> IcmpEcho(std::optional<IN_ADDR> source, IN_ADDR to,
                                                  std::chrono::milliseconds wait);

}  // namespace zv

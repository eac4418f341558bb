// One accepted control connection, as the portable request handling sees it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zv {

// A connected client may hold the single listener only this long before its
// request (header and body) must have arrived. The client sends its whole
// request within 1000 ms of connecting, so 5 s leaves room for a loaded machine
// while a stalled or hostile client costs others at most a few seconds.
inline constexpr std::chrono::milliseconds kRequestReadBound{5000};

class ControlConnection {
 public:
  virtual ~ControlConnection() = default;

  // Whether the process on the other end may talk to the service at all.
  virtual bool CallerAllowed() = 0;
  // Moves exactly `length` bytes. False when the peer fails, closes, sends
  // nothing in time or the service is stopping; the connection is then dropped.
  virtual bool ReadExact(std::uint8_t* data, std::size_t length) = 0;
  virtual bool WriteAll(const std::uint8_t* data, std::size_t length) = 0;
};

}  // namespace zv

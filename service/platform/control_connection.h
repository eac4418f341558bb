// One accepted control connection, as the portable request handling sees it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace zv {

// A connected client may hold the single listener only this long before its
// request (header and body) must have arrived. The client sends its whole
// request within 1000 ms of connecting, so 5 s leaves room for a loaded machine
// while a stalled or hostile client costs others at most a few seconds.
inline constexpr std::chrono::milliseconds kRequestReadBound{5000};
// However long the handling took, the reply is written; only a client that
// has stopped reading loses it, after this long for each write.
inline constexpr std::chrono::milliseconds kReplyWriteBound{2000};

// Runs `work` on the thread that owns the tunnel, one request at a time, and
// returns once it has run. Inline where connections are served on that thread.
using RunOnOwner = std::function<void(const std::function<void()>& work)>;

class ControlConnection {
 public:
  virtual ~ControlConnection() = default;

  // Whether the process on the other end may talk to the service at all.
  virtual bool CallerAllowed() = 0;
  // The caller's user, where the platform tells users apart (Linux: its uid),
  // so that split routing steers only that user's programs.
  virtual std::uint32_t CallerUser() { return 0; }
  // Moves exactly `length` bytes. False when the peer fails, closes, sends
  // nothing within the read bound or the service is stopping; the connection
  // is then dropped.
  virtual bool ReadExact(std::uint8_t* data, std::size_t length) = 0;
  // Moves exactly `length` bytes within the write bound. A stop does not cut
  // it short: a request that was handled is answered.
  virtual bool WriteAll(const std::uint8_t* data, std::size_t length) = 0;
};

}  // namespace zv

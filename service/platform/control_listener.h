// The accept loop over the platform's local channel, one request and one reply
// per connection, until the stop event is seen. The listener's thread owns the
// tunnel: it runs every request's work, one at a time, and the tunnel's upkeep
// between them. Linux reads each connection on a thread of its own, so a slow
// sender costs only itself; Windows serves one pipe instance at a time.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>

#include "control_connection.h"
#include "network_watch.h"
#include "stop_event.h"

namespace zv {

using ConnectionHandler = std::function<void(ControlConnection&, const RunOnOwner& owner)>;
// Runs with `news` when the watch had some, and when the time it last asked
// for has come; answers how long until it wants to run again (nothing: only on news).
using UpkeepHandler = std::function<std::optional<std::chrono::milliseconds>(bool news)>;

// The upkeep's next run as a time, not a delay, so that whatever wakes the
// listener meanwhile (any local user may connect) never puts it off.
class UpkeepSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  explicit UpkeepSchedule(const UpkeepHandler& upkeep) : upkeep(upkeep) {}
  void Run(bool news) {
    const auto after = upkeep(news);
    at = after ? Clock::now() + *after : kNever;
  }
  bool Due() const { return Clock::now() >= at; }
  // How long a wait may last, until its run or `until` if sooner; nothing: no end.
  std::optional<std::chrono::milliseconds> Left(std::optional<Clock::time_point> until = {}) const {
    const Clock::time_point end = std::min(at, until.value_or(kNever));
    if (end == kNever) return std::nullopt;
    return std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()));
  }

 private:
  static constexpr Clock::time_point kNever = Clock::time_point::max();  // only on news
  const UpkeepHandler& upkeep;
  Clock::time_point at = kNever;
};

// Returns when the stop event is seen, or at once when the channel cannot be
// created. `watch` may be null.
void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle, NetworkWatch* watch,
                        const UpkeepHandler& upkeep);

}  // namespace zv

// The accept loop over the platform's local channel, one request and one reply
// per connection, until the stop event is seen. The listener's thread owns the
// tunnel: it runs every request's work, one at a time, and the tunnel's upkeep
// between them. Linux reads each connection on a thread of its own, so a slow
// sender costs only itself; Windows serves one pipe instance at a time.
#pragma once

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

// Returns when the stop event is seen, or at once when the channel cannot be
// created. `watch` may be null.
void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle, NetworkWatch* watch,
                        const UpkeepHandler& upkeep);

}  // namespace zv

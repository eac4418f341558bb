// The accept loop over the platform's local channel: one connection at a time,
// one request and one reply each, until the stop event is seen. Between
// connections it also runs the tunnel's upkeep, on the same thread, so the
// tunnel keeps one owner.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "control_connection.h"
#include "network_watch.h"
#include "stop_event.h"

namespace zv {

using ConnectionHandler = std::function<void(ControlConnection&)>;
// Runs with `news` when the watch had some, and when the time it last asked
// for has come; answers how long until it wants to run again (nothing: only on news).
using UpkeepHandler = std::function<std::optional<std::chrono::milliseconds>(bool news)>;

// Returns when the stop event is seen, or at once when the channel cannot be
// created (the service then runs without a control channel). `watch` may be null.
void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle, NetworkWatch* watch,
                        const UpkeepHandler& upkeep);

}  // namespace zv

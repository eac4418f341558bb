// The accept loop over the platform's local channel: one connection at a time,
// one request and one reply each, until the stop event is seen.
#pragma once

#include <functional>

#include "control_connection.h"
#include "stop_event.h"

namespace zv {

using ConnectionHandler = std::function<void(ControlConnection&)>;

// Returns when the stop event is seen, or at once when the channel cannot be
// created (the service then runs without a control channel).
void RunControlListener(const StopEvent& stopEvent, const ConnectionHandler& handle);

}  // namespace zv

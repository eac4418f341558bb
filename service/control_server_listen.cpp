// The listener half of ControlServer: kept apart so the portable core links
// without any platform shell.
#include "control_server.h"
#include "platform/control_listener.h"

namespace zv {

void ControlServer::StartListener() {
  listener = std::thread([this] { RunListener(); });
}

void ControlServer::RunListener() {
  RunControlListener(stopEvent, [this](ControlConnection& connection) { HandleConnection(connection); });
}

}  // namespace zv

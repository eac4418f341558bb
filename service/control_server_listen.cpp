// The listener half of ControlServer: kept apart so the portable core links
// without any platform shell.
#include "control_server.h"
#include "platform/control_listener.h"

namespace zv {

void ControlServer::StartListener() {
  listener = std::thread([this] { RunListener(); });
}

// The listener thread owns the tunnel: requests and the tunnel's upkeep both run on it.
void ControlServer::RunListener() {
  const std::unique_ptr<NetworkWatch> watch = OpenNetworkWatch();
  RunControlListener(
      stopEvent,
      [this](ControlConnection& connection, const RunOnOwner& owner) { HandleConnection(connection, owner); },
      watch.get(), [this](bool news) { return Upkeep(news); });
}

}  // namespace zv

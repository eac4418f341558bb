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
      stopEvent, [this](ControlConnection& connection) { HandleConnection(connection); }, watch.get(),
      [this](bool news) {
        const auto next = tunnel.Upkeep(news, UpkeepClock::now());
        NoteTunnelGone();
        return next;
      });
}

}  // namespace zv

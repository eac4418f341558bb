// Foreground daemon for systemd (Type=simple): SIGTERM and SIGINT play the
// part of the stop control.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control_channel.h"
#include "control_server.h"
#include "control_socket_linux.h"
#include "stop_event.h"
#include "smart_split_engine.h"
#include "split_platform_linux.h"
#include "tunnel_platform_linux.h"
#include "wireguard_tunnel.h"

int main() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Blocked before any thread starts, so only the sigwait below receives them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // Whatever stands at the socket's path is judged before anything starts.
  if (std::string problem; !zv::ClearStaleSocket(zv::ControlSocketPath(), problem)) {
    std::fprintf(stderr, "accelerator-service: cannot listen: %s\n", problem.c_str());
    return 1;
  }
  std::uint32_t error = 0;
  const auto stopEvent = zv::StopEvent::TryCreate(error);
  if (!stopEvent) {
    std::fprintf(stderr, "accelerator-service: no stop event: %s\n", std::strerror(static_cast<int>(error)));
    return 1;
  }
  zv::LinuxTunnelPlatform tunnelPlatform;
  zv::LinuxSplitPlatform splitPlatform;
  zv::SmartSplitEngine smartSplit(splitPlatform, tunnelPlatform);
  zv::WireGuardTunnel tunnel(tunnelPlatform, smartSplit);
  if (tunnel.RecoverStaleState()) std::fprintf(stderr, "accelerator-service: removed what a killed run left\n");
  {
    const auto node = zv::OpenNodeEcho();
    zv::LinkQuality quality(*node);
    zv::ControlServer server(*stopEvent, tunnel, &quality);
    server.StartListener();
    int received = 0;
    sigwait(&stopSignals, &received);
    stopEvent->Signal();
    server.JoinListener();
  }  // the server's destruction takes a running tunnel down before the process ends
  return 0;
}

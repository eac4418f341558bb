// Foreground daemon for systemd (Type=notify): ready once the control socket
// listens; SIGTERM and SIGINT play the part of the stop control.
#include <signal.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "control_channel.h"
#include "control_server.h"
#include "control_socket_linux.h"
#include "ebpf_game_steering_linux.h"
#include "routing_linux.h"
#include "smart_split_engine.h"
#include "stop_event.h"
#include "wireguard_go_device_linux.h"
#include "wireguard_tunnel.h"

int main() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Blocked before any thread starts, so only the sigwait below receives them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // Each waiting caller holds a descriptor: the soft limit of 1024 is for
  // select(), which the service does not use.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  // A service that cannot listen ends here, saying why, rather than running deaf.
  const std::string socketPath = zv::ControlSocketPath();
  std::string problem;
  const zv::ClaimedSocket claimed = zv::ClaimControlSocket(socketPath, problem);
  if (!claimed) {
    std::fprintf(stderr, "accelerator-service: cannot listen: %s\n", problem.c_str());
    return 1;
  }
  zv::HandOverControlSocket(claimed);
  std::uint32_t error = 0;
  const auto stopEvent = zv::StopEvent::TryCreate(error);
  if (!stopEvent) {
    std::fprintf(stderr, "accelerator-service: no stop event: %s\n", std::strerror(static_cast<int>(error)));
    return 1;
  }
  zv::WireGuardGoDevice device;
  zv::LinuxRouteTable routes;
  zv::EbpfGameSteering steering;
  zv::SmartSplitEngine smartSplit(steering);
  // Through the folder it opened and judged: its name may sit in a folder another user can write.
  zv::WireGuardTunnel tunnel(device, routes, smartSplit, zv::InFolder(claimed.folder, "tunnel"));
  if (tunnel.RecoverStaleState()) std::fprintf(stderr, "accelerator-service: removed what a killed run left\n");
  {
    const auto node = zv::OpenNodeEcho();
    zv::LinkQuality quality(*node);
    const auto paths = zv::OpenPathProbe();
    zv::GainMeter gain(*paths, steering);
    zv::ControlServer server(*stopEvent, tunnel, &quality, &gain);
    server.StartListener();
    sd_notify(0, "READY=1");
    int received = 0;
    sigwait(&stopSignals, &received);
    sd_notify(0, "STOPPING=1");
    stopEvent->Signal();
    server.JoinListener();
  }  // the server's destruction takes a running tunnel down before the process ends
  return 0;
}

// Foreground daemon: SIGTERM and SIGINT play the part of the stop control.
#include <signal.h>

#include "control_server.h"
#include "platform/stop_event.h"
#include "tunnel_engine.h"

int main() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  // Blocked before any thread starts, so only the sigwait below receives them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zv::StopEvent stopEvent;
  zv::MissingTunnelEngine tunnel;
  {
    zv::ControlServer server(stopEvent, tunnel);
    server.StartListener();
    int received = 0;
    sigwait(&stopSignals, &received);
    stopEvent.Signal();
    server.JoinListener();
  }  // the server's destruction takes a running tunnel down before the process ends
  return 0;
}

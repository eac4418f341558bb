// The service's one long-lived object: reads control requests, keeps the
// acceleration state and owns the running tunnel through its engine.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "control_connection.h"
#include "control_frame.h"
#include "link_quality.h"
#include "stop_event.h"
#include "tunnel_engine.h"

namespace zv {

class ControlServer {
 public:
  // Without `quality`, QueryQuality answers as QueryState.
  ControlServer(const StopEvent& stopEvent, TunnelEngine& tunnel, LinkQuality* quality = nullptr);
  ~ControlServer();  // joins the listener, then takes a running tunnel down
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  void StartListener();  // std::thread throws if it cannot start; the process then ends
  void JoinListener();
  void RunListener();
  void HandleConnection(ControlConnection& connection);

  bool BringUpTunnel(const std::string& requestText, std::string& error);
  bool TearDownTunnel(std::string& error);
  // After the tunnel's upkeep: a tunnel it had to give up is no acceleration any more.
  void NoteTunnelGone();

 private:
  void Reply(ControlConnection& connection, std::uint64_t requestId, ControlStatus status,
             std::string_view body);
  void Dispatch(ControlConnection& connection, const ControlRequestHeader& header,
                const std::string& body);

  const StopEvent& stopEvent;
  std::thread listener;
  std::atomic<bool> accelerating{false};
  TunnelEngine& tunnel;
  LinkQuality* quality;
};

}  // namespace zv

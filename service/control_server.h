// The service's one long-lived object: reads control requests, keeps the
// acceleration state and owns the running tunnel through its engine.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "control_connection.h"
#include "control_frame.h"
#include "stop_event.h"
#include "tunnel_engine.h"

namespace zv {

class ControlServer {
 public:
  ControlServer(const StopEvent& stopEvent, TunnelEngine& tunnel);
  ~ControlServer();  // joins the listener, then takes a running tunnel down
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  void StartListener();  // std::thread throws if it cannot start; the process then ends
  void JoinListener();
  void RunListener();
  void HandleConnection(ControlConnection& connection);

  bool BringUpTunnel(const std::string& requestText, std::string& error);
  bool TearDownTunnel(std::string& error);

 private:
  void Reply(ControlConnection& connection, std::uint64_t requestId, ControlStatus status,
             std::string_view body);
  void Dispatch(ControlConnection& connection, const ControlRequestHeader& header,
                const std::string& body);

  const StopEvent& stopEvent;
  std::thread listener;
  std::atomic<bool> accelerating{false};
  TunnelEngine& tunnel;
};

}  // namespace zv

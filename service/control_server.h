// The service's one long-lived object: reads control requests, and derives
// every reply and the path's quality measurement from the tunnel engine's one
// acceleration state.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "control_connection.h"
#include "control_frame.h"
#include "gain_meter.h"
#include "link_quality.h"
#include "stop_event.h"
#include "tunnel_engine.h"

namespace zv {

class ControlServer {
 public:
  // Without `quality`, QueryQuality answers only the state; without `gain`, no gain figures.
  ControlServer(const StopEvent& stopEvent, TunnelEngine& tunnel, LinkQuality* quality = nullptr,
                GainMeter* gain = nullptr);
  ~ControlServer();  // joins the listener, then takes a running tunnel down
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  void StartListener();  // std::thread throws if it cannot start; the process then ends
  void JoinListener();
  void RunListener();
  // The caller check, the frame checks and the reads run on the connection's
  // own thread; what the request asks of the tunnel runs through `owner`.
  void HandleConnection(ControlConnection& connection, const RunOnOwner& owner = {});
  // The tunnel's upkeep, on the owner thread; answers when it wants to run again.
  std::optional<std::chrono::milliseconds> Upkeep(bool news);

 private:
  struct Answer {
    ControlStatus status = ControlStatus::Ok;
    std::string body;
  };
  Answer Dispatch(std::uint16_t operation, std::string_view body, std::uint32_t caller);
  std::string QualityBody() const;
  std::string GainMembers() const;
  // The echoes follow the state: measured afresh each time a tunnel comes up,
  // the gain while one is held; neither while none is.
  void FollowState();

  const StopEvent& stopEvent;
  std::thread listener;
  TunnelEngine& tunnel;
  LinkQuality* quality;
  GainMeter* gain;
  std::uint64_t measuredUp = 0;  // which coming-up of the tunnel the echoes belong to
};

}  // namespace zv

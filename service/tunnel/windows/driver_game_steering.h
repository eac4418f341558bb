// Split routing on Windows: the split-routing driver's device, told the
// game's process ids and asked for the flows it holds, with the filtering
// objects through which its callouts see every new connection. Each flow the
// driver holds is answered with a host route through the tunnel for its
// destination, unless that stays direct. The tracker looks at the Toolhelp
// snapshot every 25 milliseconds.
#pragma once

#include <mutex>
#include <vector>

#include "game_steering.h"
#include "route_table.h"
#include "split_calls.h"

namespace zv {

// A steering that always has another flow must not keep the tracker from
// noticing a stop: one drain answers at most this many, the rest wait a cycle.
// At the 25 ms cadence that is over 2500 new connections a second.
inline constexpr int kMaxFlowsPerDrain = 64;
// The game's destinations kept for the measuring of its server.
inline constexpr std::size_t kMaxTrafficRecords = 16;

class DriverGameSteering final : public GameSteering {
 public:
  DriverGameSteering(SplitCalls& calls, RouteTable& routes) : calls(calls), routes(routes) {}
  ~DriverGameSteering() override { Stop(); }

  // Full routing's watch is refused, touching nothing: the driver would hold
  // flows that the tunnel carries anyway, so there only the node is measured.
  bool Start(const SteeringTarget& target, std::string& error) override;
  // The host routes it made go first (the last made first), then the
  // filtering session, then the driver's list is cleared and its device closed.
  void Stop() override;
  void SetGameProcesses(const std::vector<std::uint32_t>& ids) override;
  bool ForEachProcess(const ProcessVisitor& visit) override { return calls.ForEachProcess(visit); }
  // The flows the driver holds answered, then the whole cadence, in whole
  // milliseconds rounded up, by the steady clock.
  void AwaitChange(std::chrono::milliseconds cadence) override;
  // A pause ends within the cadence anyway.
  void Wake() override {}
  // The flows' destinations (no port: the driver's record has none), the latest answered last.
  std::vector<TrafficRecord> GameTraffic() override;

 private:
  void AnswerPendingFlows();
  bool RouteThroughTunnel(const std::uint8_t (&remote)[4]);
  void NoteTraffic(const std::uint8_t (&remote)[4]);

  SplitCalls& calls;
  RouteTable& routes;
  DeviceHandle device = kNoDevice;
  FilterEngineHandle filterEngine = nullptr;
  std::uint64_t tunnelInterface = 0;
  std::vector<Ipv4Range> direct;
  std::vector<Route> splitRoutes;  // made by this steering, in the order made
  std::mutex trafficLock;  // GameTraffic is asked from another thread
  std::vector<TrafficRecord> traffic;  // one per destination, at most kMaxTrafficRecords
};

}  // namespace zv

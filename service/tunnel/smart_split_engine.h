// Per-process split routing over the platform's game steering: the names the
// game's processes go by, the tracker that finds them and tells the steering,
// and, where the steering reports flows (Windows), a host route through the
// tunnel for every destination that does not stay direct.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "game_steering.h"
#include "route_table.h"

namespace zv {

inline constexpr std::chrono::milliseconds kTrackerCadence{25};
// A steering that always has another flow must not keep the tracker from
// noticing a stop: one drain answers at most this many, the rest wait a cycle.
// At the 25 ms cadence that is over 2500 new connections a second.
inline constexpr int kMaxFlowsPerDrain = 64;

class SmartSplitEngine {
 public:
  SmartSplitEngine(GameSteering& steering, RouteTable& routes) : steering(steering), routes(routes) {}
  ~SmartSplitEngine() { Stop(); }
  SmartSplitEngine(const SmartSplitEngine&) = delete;
  SmartSplitEngine& operator=(const SmartSplitEngine&) = delete;

  // False when the request names more games than the steering can follow.
  bool Accepts(const std::vector<std::string>& gameProcesses) const;
  // On failure it is idle again and `error` holds its code.
  bool Start(std::uint64_t tunnelInterface, const std::vector<std::string>& gameProcesses, std::uint32_t owner,
             std::string& error);
  // Safe in any state, any number of times.
  void Stop();
  // What the steering laid down still stands; true when none runs.
  bool Intact() { return !steeringStarted || steering.Intact(); }
  // The game already ran when this start began (false once stopped): sockets
  // are steered only as they are made.
  bool GameBeforeStart() const { return gameBeforeStart; }

  // One cycle of the tracker: find the game's processes, tell the steering
  // when they changed, answer pending flows. Only the tracker calls it while the engine runs.
  void RunTrackerCycle(std::vector<std::uint32_t>& previous);

 private:
  void RunTracker();
  std::vector<std::uint32_t> ScanGameProcesses();
  void DrainPendingFlows();
  bool RouteFlowDestination(const std::uint8_t (&remote)[4]);

  GameSteering& steering;
  RouteTable& routes;
  bool steeringStarted = false;
  bool gameBeforeStart = false;
  std::uint64_t tunnelInterface = 0;
  std::vector<std::u16string> processNames;  // lower-cased, in request order
  std::vector<Route> splitRoutes;            // created by this engine, in creation order
  std::atomic<bool> stopRequested{false};
  std::thread tracker;
  std::u16string foldedName;  // the scan's buffer
};

}  // namespace zv

// Per-process split routing: tells the split-routing driver which processes
// are the game's, and gives every destination the driver reports for them a
// host route through the tunnel.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "split_platform.h"
#include "split_routing.h"
#include "tunnel_platform.h"

namespace zv {

inline constexpr std::chrono::milliseconds kTrackerCadence{25};
// A driver that always has another flow must not keep the tracker from
// noticing a stop: one drain answers at most this many, the rest wait a cycle.
// At the 25 ms cadence that is over 2500 new connections a second.
inline constexpr int kMaxFlowsPerDrain = 64;

class SmartSplitEngine final : public SplitRouting {
 public:
  SmartSplitEngine(SplitPlatform& platform, TunnelPlatform& routes) : platform(platform), routes(routes) {}
  ~SmartSplitEngine() override { Stop(); }
  SmartSplitEngine(const SmartSplitEngine&) = delete;
  SmartSplitEngine& operator=(const SmartSplitEngine&) = delete;

  bool Start(std::uint64_t luid, const std::vector<std::string>& gameProcesses, std::string& error) override;
  void Stop() override;

  // The tracker's steps; only the tracker calls them while the engine runs.
  std::vector<std::uint64_t> ScanGameProcesses();
  void SendProcessIds(const std::vector<std::uint64_t>& ids);
  void DrainPendingFlows();
  void RunTrackerCycle(std::vector<std::uint64_t>& previous);

 private:
  void RunTracker();
  bool RouteFlowDestination(const std::uint8_t (&remote)[4]);

  SplitPlatform& platform;
  TunnelPlatform& routes;
  DeviceHandle device = kNoDevice;
  FilterEngineHandle filterEngine = nullptr;
  std::uint64_t tunnelLuid = 0;
  std::vector<std::u16string> processNames;  // lower-cased, in request order
  std::vector<RouteRow> splitRoutes;         // created by this engine, in creation order
  std::atomic<bool> stopRequested{false};
  std::thread tracker;
  std::u16string foldedName;  // the scan's buffer
};

}  // namespace zv

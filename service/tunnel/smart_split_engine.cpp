#include "smart_split_engine.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <system_error>

#include "numbered_code.h"
#include "split_rules.h"
#include "tunnel_routes.h"
#include "utf16_text.h"

namespace zv {

bool SmartSplitEngine::Accepts(const std::vector<std::string>& gameProcesses) const {
  const std::vector<std::u16string> names = FoldGameNames(gameProcesses);
  return std::set<std::u16string>(names.begin(), names.end()).size() <= steering.NameLimit();
}

bool SmartSplitEngine::Start(std::uint64_t tunnelInterface, const std::vector<std::string>& gameProcesses,
                             std::uint32_t owner, std::string& error) {
  Stop();
  processNames = FoldGameNames(gameProcesses);
  const SteeringTarget target{tunnelInterface, processNames, owner, {std::begin(kDirectRanges), std::end(kDirectRanges)}};
  if (!steering.Start(target, error)) {
    processNames.clear();
    return false;
  }
  steeringStarted = true;
  this->tunnelInterface = tunnelInterface;
  if (processNames.empty()) {
    error = "smart_split_process_rules_empty";
    Stop();
    return false;
  }
  gameBeforeStart = !ScanGameProcesses().empty();
  stopRequested.exchange(false);
  try {
    tracker = std::thread([this] { RunTracker(); });
  } catch (const std::system_error& failure) {
    error = NumberedCode("smart_split_tracker_failed_", static_cast<std::uint32_t>(failure.code().value()));
    Stop();
    return false;
  }
  return true;
}

void SmartSplitEngine::Stop() {
  stopRequested.exchange(true);
  steering.Wake();
  if (tracker.joinable()) tracker.join();
  for (auto route = splitRoutes.rbegin(); route != splitRoutes.rend(); ++route) routes.Remove(*route);
  splitRoutes.clear();
  steering.Stop();
  steeringStarted = false;
  gameBeforeStart = false;
  processNames.clear();
}

std::vector<std::uint32_t> SmartSplitEngine::ScanGameProcesses() {
  std::vector<std::uint32_t> ids;
  steering.ForEachProcess([&](std::uint32_t processId, std::u16string_view executableName) {
    FoldCase(executableName, foldedName);
    if (std::find(processNames.begin(), processNames.end(), foldedName) != processNames.end()) ids.push_back(processId);
  });
  return ids;  // a look that failed visited nothing: an empty list
}

bool SmartSplitEngine::RouteFlowDestination(const std::uint8_t (&remote)[4]) {
  if (!RoutedThroughTunnel(remote)) return false;
  SocketAddressInet destination{};
  destination.family = kFamilyIpv4;
  std::memcpy(destination.Bytes(), remote, 4);
  const Route route = TunnelRoute(tunnelInterface, destination, 32);
  const std::uint32_t result = routes.Add(route);
  if (result == 0) splitRoutes.push_back(route);
  return result == 0 || result == kErrorObjectAlreadyExists;  // a second flow finds its route in place
}

void SmartSplitEngine::DrainPendingFlows() {
  PendingFlow flow;
  for (int handled = 0; handled < kMaxFlowsPerDrain && steering.TakePendingFlow(flow); ++handled) {
    steering.AnswerFlow(flow, flow.readable && RouteFlowDestination(flow.remote));
  }
}

void SmartSplitEngine::RunTrackerCycle(std::vector<std::uint32_t>& previous) {
  std::vector<std::uint32_t> current = ScanGameProcesses();
  if (current != previous) {  // length, values and order
    steering.SetGameProcesses(current);
    previous = std::move(current);
  }
  DrainPendingFlows();
}

void SmartSplitEngine::RunTracker() {
  std::vector<std::uint32_t> previous;
  while (!stopRequested.load()) {
    RunTrackerCycle(previous);
    if (!stopRequested.load()) steering.AwaitChange(kTrackerCadence);
  }
}

}  // namespace zv

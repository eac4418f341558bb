#include "driver_game_steering.h"

#include "filter_objects.h"
#include "numbered_code.h"
#include "split_protocol.h"
#include "split_rules.h"
#include "tunnel_routes.h"

namespace zv {

bool DriverGameSteering::Start(const SteeringTarget& target, std::string& error) {
  Stop();
  if (target.watchOnly) return false;
  std::uint32_t openError = 0;
  device = calls.OpenSplitDevice(openError);
  if (device == kNoDevice) return FailWithNumber(error, "smart_split_driver_unavailable_", openError);
  if (!InstallFilterObjects(calls, filterEngine, error)) {
    calls.CloseSplitDevice(device);
    device = kNoDevice;
    return false;  // the session stays open until the next Stop
  }
  tunnelInterface = target.tunnelInterface;
  direct = target.direct;
  return true;
}

void DriverGameSteering::Stop() {
  {
    const std::lock_guard guard(trafficLock);
    traffic.clear();
  }
  for (auto route = splitRoutes.rbegin(); route != splitRoutes.rend(); ++route) routes.Remove(*route);
  splitRoutes.clear();
  if (filterEngine != nullptr) {
    calls.CloseFilterEngine(filterEngine);  // which removes every object of the dynamic session
    filterEngine = nullptr;
  }
  if (device != kNoDevice) {
    const auto cleared = EncodeClearedProcessIdList();
    std::uint32_t returned = 0;
    calls.ControlDevice(device, kSetProcessIds, cleared.data(), static_cast<std::uint32_t>(cleared.size()), nullptr, 0,
                        returned);
    calls.CloseSplitDevice(device);
    device = kNoDevice;
  }
}

void DriverGameSteering::SetGameProcesses(const std::vector<std::uint32_t>& ids) {
  const auto list = EncodeProcessIdList(ids);
  std::uint32_t returned = 0;
  calls.ControlDevice(device, kSetProcessIds, list.data(), static_cast<std::uint32_t>(list.size()), nullptr, 0,
                      returned);
}

bool DriverGameSteering::RouteThroughTunnel(const std::uint8_t (&remote)[4]) {
  if (!RoutedThroughTunnel(remote)) return false;
  const Route route = TunnelRoute(tunnelInterface, IpAddress::V4(remote), 32);
  const AddResult result = routes.Add(route);
  if (result.outcome == AddResult::Outcome::Added) splitRoutes.push_back(route);
  return result.Succeeded();  // a second flow finds its route in place
}

void DriverGameSteering::NoteTraffic(const std::uint8_t (&remote)[4]) {
  const IpAddress destination = IpAddress::V4(remote);
  const std::lock_guard guard(trafficLock);
  std::erase_if(traffic, [&](const TrafficRecord& record) { return record.destination == destination; });
  if (traffic.size() == kMaxTrafficRecords) traffic.erase(traffic.begin());
  traffic.push_back({destination, 0, std::chrono::steady_clock::now()});
}

std::vector<TrafficRecord> DriverGameSteering::GameTraffic() {
  const std::lock_guard guard(trafficLock);
  return traffic;
}

// A failed fetch is how the driver says nothing is pending.
void DriverGameSteering::AnswerPendingFlows() {
  std::array<std::uint8_t, kPendingFlowSize> record{};
  std::uint32_t returned = 0;
  for (int handled = 0; handled < kMaxFlowsPerDrain; ++handled) {
    record.fill(0);
    if (!calls.ControlDevice(device, kGetPendingFlow, nullptr, 0, record.data(), kPendingFlowSize, returned)) return;
    const PendingFlow flow = DecodePendingFlow(record, returned);
    if (flow.readable) NoteTraffic(flow.remote);
    const auto verdict = EncodeFlowVerdict(flow.readable && RouteThroughTunnel(flow.remote), flow.flowId);
    calls.ControlDevice(device, kSetFlowVerdict, verdict.data(), kFlowVerdictSize, nullptr, 0, returned);
  }
}

void DriverGameSteering::AwaitChange(std::chrono::milliseconds cadence) {
  AnswerPendingFlows();
  const auto deadline = calls.Now() + cadence;
  for (auto now = calls.Now(); now < deadline; now = calls.Now()) {
    calls.Sleep(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

}  // namespace zv

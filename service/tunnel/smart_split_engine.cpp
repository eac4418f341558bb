#include "smart_split_engine.h"

#include <array>
#include <cstring>
#include <system_error>

#include "allowed_ip.h"
#include "filter_objects.h"
#include "numbered_code.h"
#include "split_protocol.h"
#include "tunnel_routes.h"
#include "utf16_text.h"

namespace zv {

bool SmartSplitEngine::Start(std::uint64_t luid, const std::vector<std::string>& gameProcesses, std::string& error) {
  Stop();
  std::uint32_t openError = 0;
  device = platform.OpenSplitDevice(openError);
  if (device == kNoDevice) {
    error = NumberedCode("smart_split_driver_unavailable_", openError);
    return false;
  }
  if (!InstallFilterObjects(platform, filterEngine, error)) {
    platform.CloseSplitDevice(device);
    device = kNoDevice;
    return false;  // the session stays open until the next Stop
  }
  tunnelLuid = luid;
  for (const std::string& text : gameProcesses) {
    if (text.empty()) continue;
    const auto name = Utf16FromUtf8(text);
    if (!name) continue;
    processNames.emplace_back();
    FoldCase(*name, processNames.back());
  }
  if (processNames.empty()) {
    error = "smart_split_process_rules_empty";
    Stop();
    return false;
  }
  platform.SetGameNames(processNames);
  stopRequested.exchange(false);
  try {
    tracker = platform.StartThread([this] { RunTracker(); });
  } catch (const std::system_error& failure) {
    error = NumberedCode("smart_split_tracker_failed_", static_cast<std::uint32_t>(failure.code().value()));
    Stop();
    return false;
  }
  return true;
}

void SmartSplitEngine::Stop() {
  stopRequested.exchange(true);
  if (tracker.joinable()) tracker.join();
  for (auto route = splitRoutes.rbegin(); route != splitRoutes.rend(); ++route) routes.DeleteRoute(*route);
  splitRoutes.clear();
  if (filterEngine != nullptr) {
    platform.CloseFilterEngine(filterEngine);
    filterEngine = nullptr;
  }
  if (device != kNoDevice) {
    const auto cleared = EncodeClearedProcessIdList();
    std::uint32_t returned = 0;
    platform.ControlDevice(device, kSetProcessIds, cleared.data(), static_cast<std::uint32_t>(cleared.size()),
                           nullptr, 0, returned);
    platform.CloseSplitDevice(device);
    device = kNoDevice;
  }
  processNames.clear();
}

std::vector<std::uint64_t> SmartSplitEngine::ScanGameProcesses() {
  std::vector<std::uint64_t> ids;
  platform.ForEachProcess([&](std::uint32_t processId, std::u16string_view executableName) {
    FoldCase(executableName, foldedName);
    for (const std::u16string& name : processNames) {
      if (name == foldedName) {
        ids.push_back(processId);
        return;
      }
    }
  });
  return ids;  // a snapshot that failed visited nothing: an empty list
}

void SmartSplitEngine::SendProcessIds(const std::vector<std::uint64_t>& ids) {
  const auto list = EncodeProcessIdList(ids);
  std::uint32_t returned = 0;
  platform.ControlDevice(device, kSetProcessIds, list.data(), static_cast<std::uint32_t>(list.size()), nullptr, 0,
                         returned);
}

bool SmartSplitEngine::RouteFlowDestination(const std::uint8_t (&remote)[4]) {
  if (!RoutedThroughTunnel(remote)) return false;
  SocketAddressInet destination{}, onLink{};
  destination.family = onLink.family = kFamilyIpv4;
  std::memcpy(destination.rest, remote, 4);
  const RouteRow row = TunnelRoute(tunnelLuid, destination, 32, onLink);
  const std::uint32_t result = routes.CreateRoute(row);
  if (result == 0) splitRoutes.push_back(row);
  return result == 0 || result == kErrorObjectAlreadyExists;  // a second flow finds its route in place
}

void SmartSplitEngine::DrainPendingFlows() {
  for (int handled = 0; handled < kMaxFlowsPerDrain; ++handled) {
    std::array<std::uint8_t, kPendingFlowSize> record{};
    std::uint32_t returned = 0;
    // A failed fetch is how the driver says nothing is pending.
    if (!platform.ControlDevice(device, kGetPendingFlow, nullptr, 0, record.data(), kPendingFlowSize, returned)) {
      return;
    }
    const PendingFlow flow = DecodePendingFlow(record, returned);
    const bool routed = flow.handled && RouteFlowDestination(flow.remote);
    const auto verdict = EncodeFlowVerdict(routed, flow.flowId);
    platform.ControlDevice(device, kSetFlowVerdict, verdict.data(), kFlowVerdictSize, nullptr, 0, returned);
  }
}

void SmartSplitEngine::RunTrackerCycle(std::vector<std::uint64_t>& previous) {
  std::vector<std::uint64_t> current = ScanGameProcesses();
  if (current != previous) {  // length, values and order
    SendProcessIds(current);
    previous = std::move(current);
  }
  DrainPendingFlows();
}

void SmartSplitEngine::RunTracker() {
  std::vector<std::uint64_t> previous;
  while (!stopRequested.load()) {
    RunTrackerCycle(previous);
    const auto deadline = platform.Now() + kTrackerCadence;
    for (auto now = platform.Now(); now < deadline; now = platform.Now()) {
      platform.Sleep(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
  }
}

}  // namespace zv

#include "driver_game_steering.h"

#include "filter_objects.h"
#include "numbered_code.h"
#include "split_protocol.h"

namespace zv {

bool DriverGameSteering::Start(const SteeringTarget&, std::string& error) {
  Stop();
  std::uint32_t openError = 0;
  device = calls.OpenSplitDevice(openError);
  if (device == kNoDevice) return FailWithNumber(error, "smart_split_driver_unavailable_", openError);
  if (!InstallFilterObjects(calls, filterEngine, error)) {
    calls.CloseSplitDevice(device);
    device = kNoDevice;
    return false;  // the session stays open until the next Stop
  }
  return true;
}

void DriverGameSteering::Stop() {
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

// A failed fetch is how the driver says nothing is pending.
bool DriverGameSteering::TakePendingFlow(PendingFlow& flow) {
  std::array<std::uint8_t, kPendingFlowSize> record{};
  std::uint32_t returned = 0;
  if (!calls.ControlDevice(device, kGetPendingFlow, nullptr, 0, record.data(), kPendingFlowSize, returned)) return false;
  flow = DecodePendingFlow(record, returned);
  return true;
}

void DriverGameSteering::AnswerFlow(const PendingFlow& flow, bool routed) {
  const auto verdict = EncodeFlowVerdict(routed, flow.flowId);
  std::uint32_t returned = 0;
  calls.ControlDevice(device, kSetFlowVerdict, verdict.data(), kFlowVerdictSize, nullptr, 0, returned);
}

void DriverGameSteering::AwaitChange(std::chrono::milliseconds cadence) {
  const auto deadline = calls.Now() + cadence;
  for (auto now = calls.Now(); now < deadline; now = calls.Now()) {
    calls.Sleep(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
  }
}

}  // namespace zv

// Split routing on Windows: the split-routing driver's device, told the
// game's process ids and asked for the flows it holds, with the filtering
// objects through which its callouts see every new connection. The tracker
// looks at the Toolhelp snapshot every 25 milliseconds.
#pragma once

#include "game_steering.h"
#include "split_calls.h"

namespace zv {

class DriverGameSteering final : public GameSteering {
 public:
  explicit DriverGameSteering(SplitCalls& calls) : calls(calls) {}
  ~DriverGameSteering() override { Stop(); }

  bool Start(const SteeringTarget& target, std::string& error) override;
  void Stop() override;
  void SetGameProcesses(const std::vector<std::uint32_t>& ids) override;
  bool TakePendingFlow(PendingFlow& flow) override;
  void AnswerFlow(const PendingFlow& flow, bool routed) override;
  bool ForEachProcess(const ProcessVisitor& visit) override { return calls.ForEachProcess(visit); }
  // The whole cadence, in whole milliseconds rounded up, by the steady clock.
  void AwaitChange(std::chrono::milliseconds cadence) override;
  // A pause ends within the cadence anyway.
  void Wake() override {}

 private:
  SplitCalls& calls;
  DeviceHandle device = kNoDevice;
  FilterEngineHandle filterEngine = nullptr;
};

}  // namespace zv

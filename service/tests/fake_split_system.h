// A recording stand-in for the split-routing driver, the filtering engine and
// the process table. The tracker thread and the test thread both use it, so
// everything the driver side sees is kept under one lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "split_platform.h"

namespace zv::test {

using Bytes = std::vector<std::uint8_t>;
using ProcessTable = std::vector<std::pair<std::uint32_t, std::u16string>>;

// A pending flow record as the driver would return it.
Bytes FlowRecord(const char* remote, std::uint64_t flowId, std::uint32_t family = 2, std::uint32_t version = 1);

class FakeSplitSystem final : public SplitPlatform {
 public:
  // Scripting. `results` fails the filtering call named "AddFilter" (every one)
  // or "AddFilter#2" (the second) with the given result.
  std::uint32_t openError = 0;
  std::map<std::string, std::uint32_t> results;
  bool refuseThread = false;
  std::set<std::string> registered;  // objects in the engine, outside any session of ours
  void SetProcesses(ProcessTable table, bool snapshotFails = false);
  void QueueFlow(Bytes record);

  // Observation. The filtering log is written on the caller's thread only.
  std::vector<std::string> filterCalls;
  std::set<std::string> sessionObjects;  // committed by the open session
  std::vector<std::string> DeviceLog();  // "open", "ids <count> <bytes>", "verdict <routed> <flow>", "close"
  std::vector<Bytes> ProcessLists();
  int Scans();
  // Waits (at most 10 s) until the condition holds; it may use the accessors above.
  bool WaitUntil(const std::function<bool()>& condition);
  bool WaitForScans(int more);

  DeviceHandle OpenSplitDevice(std::uint32_t& error) override;
  bool ControlDevice(DeviceHandle device, std::uint32_t code, const void* input, std::uint32_t inputLength,
                     void* output, std::uint32_t outputLength, std::uint32_t& returned) override;
  void CloseSplitDevice(DeviceHandle device) override;
  std::uint32_t OpenFilterEngine(std::uint32_t authenticationService, std::uint32_t sessionFlags,
                                 FilterEngineHandle& engine) override;
  std::uint32_t BeginTransaction(FilterEngineHandle engine) override;
  std::uint32_t AbortTransaction(FilterEngineHandle engine) override;
  std::uint32_t CommitTransaction(FilterEngineHandle engine) override;
  std::uint32_t AddProvider(FilterEngineHandle engine, const FilterProvider& provider) override;
  std::uint32_t AddSubLayer(FilterEngineHandle engine, const FilterSubLayer& subLayer) override;
  std::uint32_t AddCallout(FilterEngineHandle engine, const FilterCallout& callout) override;
  std::uint32_t AddFilter(FilterEngineHandle engine, const CalloutFilter& filter) override;
  void CloseFilterEngine(FilterEngineHandle engine) override;
  bool ForEachProcess(const ProcessVisitor& visit) override;
  std::thread StartThread(std::function<void()> body) override;
  // A clock that moves only by the tracker's pauses, each of which is recorded.
  std::chrono::steady_clock::time_point Now() override;
  void Sleep(std::chrono::milliseconds duration) override;
  std::vector<std::chrono::milliseconds> Pauses();

 private:
  std::uint32_t Filtering(const std::string& call, const std::string& detail, const std::string& object = {});
  void Log(std::string entry);

  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> deviceLog;
  std::vector<Bytes> lists;
  std::deque<Bytes> pending;
  ProcessTable processes;
  bool snapshotFails = false;
  int scans = 0;
  bool deviceOpen = false;
  std::map<std::string, int> filteringCounts;
  std::set<std::string> transactionObjects;
  int filtersAdded = 0;
  std::chrono::steady_clock::time_point clock{};
  std::vector<std::chrono::milliseconds> pauses;
};

}  // namespace zv::test

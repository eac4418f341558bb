#include "smart_split_engine.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "numbered_code.h"
#include "split_rules.h"

namespace zv {

bool SmartSplitEngine::Accepts(const std::vector<std::string>& gameProcesses) {
  const std::vector<std::string> names = FoldGameNames(gameProcesses);
  return std::set<std::string>(names.begin(), names.end()).size() <= kMaxGameNames;
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

void SmartSplitEngine::Watch(const std::vector<std::string>& gameProcesses, std::uint32_t owner) {
  Stop();
  processNames = FoldGameNames(gameProcesses);
  if (processNames.empty()) return;
  const SteeringTarget target{0, processNames, owner, {}, true};
  stopRequested.exchange(false);
  try {
    tracker = std::thread([this, target] {
      std::string ignored;
      if (steering.Start(target, ignored)) RunTracker();
    });
  } catch (const std::system_error&) {
    processNames.clear();  // no thread: the game goes unwatched
  }
}

void SmartSplitEngine::Stop() {
  stopRequested.exchange(true);
  steering.Wake();
  if (tracker.joinable()) tracker.join();
  steering.Stop();
  steeringStarted = false;
  gameBeforeStart = false;
  processNames.clear();
}

std::vector<std::uint32_t> SmartSplitEngine::ScanGameProcesses() {
  std::vector<std::uint32_t> ids;
  steering.ForEachProcess([&](std::uint32_t processId, std::string_view executableName) {
    const auto folded = FoldName(executableName);
    if (folded && std::find(processNames.begin(), processNames.end(), *folded) != processNames.end()) {
      ids.push_back(processId);
    }
  });
  return ids;  // a look that failed visited nothing: an empty list
}

// Tells the steering only of changes: length, values and order.
void SmartSplitEngine::RunTracker() {
  std::vector<std::uint32_t> previous;
  while (!stopRequested.load()) {
    std::vector<std::uint32_t> current = ScanGameProcesses();
    if (current != previous) {
      steering.SetGameProcesses(current);
      previous = std::move(current);
    }
    if (!stopRequested.load()) steering.AwaitChange(kTrackerCadence);
  }
}

}  // namespace zv

// Game steering in memory: a process table the test changes while the
// tracker runs, flows queued for it to answer, and a log of what it was told;
// a start fails as the log is told.
#pragma once

#include <condition_variable>
#include <deque>
#include <limits>
#include <thread>

#include "game_steering.h"
#include "test_log.h"

namespace zv::test {

using ProcessTable = std::vector<std::pair<std::uint32_t, std::u16string>>;

class FakeGameSteering final : public GameSteering {
 public:
  explicit FakeGameSteering(TestLog& log) : log(log) {}

  std::size_t nameLimit = std::numeric_limits<std::size_t>::max();
  bool running = false;

  void SetTable(ProcessTable table, bool failing = false) {
    const std::lock_guard guard(lock);
    processes = std::move(table), lookFails = failing;
  }
  void QueueFlow(PendingFlow flow) {
    const std::lock_guard guard(lock);
    pending.push_back(flow);
  }
  // Until the tracker has looked `more` times again (10 s at most).
  bool AwaitLooks(int more) {
    std::unique_lock guard(lock);
    const int target = looks + more;
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return looks >= target; });
  }

  std::size_t NameLimit() const override { return nameLimit; }
  bool Start(const SteeringTarget& target, std::string& error) override {
    std::string detail = std::to_string(target.tunnelInterface) + " owner " + std::to_string(target.owner);
    for (const std::u16string& name : target.gameNames) detail += " " + std::string(name.begin(), name.end());
    const std::uint32_t result = log.Record("steer", detail);
    if (result != 0) error = "steer_failed_" + std::to_string(result);
    return running = result == 0;
  }
  void Stop() override {
    log.Record("steer stop");
    running = false;
  }
  void SetGameProcesses(const std::vector<std::uint32_t>& ids) override {
    std::string detail;
    for (const std::uint32_t id : ids) detail += " " + std::to_string(id);
    log.Record("ids" + detail);
  }
  bool TakePendingFlow(PendingFlow& flow) override {
    const std::lock_guard guard(lock);
    if (pending.empty()) return false;
    flow = pending.front();
    pending.pop_front();
    return true;
  }
  void AnswerFlow(const PendingFlow& flow, bool routed) override {
    log.Record("verdict " + std::to_string(routed) + " " + std::to_string(flow.flowId));
  }
  bool ForEachProcess(const ProcessVisitor& visit) override {
    const std::lock_guard guard(lock);
    if (!lookFails) {
      for (const auto& [id, name] : processes) visit(id, name);
    }
    return !lookFails;
  }
  // Each pause counts as one look done, and yields the core for a moment.
  void AwaitChange(std::chrono::milliseconds) override {
    {
      const std::lock_guard guard(lock);
      ++looks;
    }
    changed.notify_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Wake() override {}

 private:
  TestLog& log;
  std::mutex lock;
  std::condition_variable changed;
  ProcessTable processes;
  std::deque<PendingFlow> pending;
  bool lookFails = false;
  int looks = 0;
};

}  // namespace zv::test

// Steering a game's own traffic into the tunnel, in split routing. Windows
// does it with the split-routing driver and the filtering platform: the
// service tells the driver the game's process ids and answers each flow it
// reports. Linux does it in the kernel: the game's sockets carry a mark that
// a rule sends into the tunnel, and no flow is ever pending.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "net_types.h"

namespace zv {

struct SteeringTarget {
  std::uint64_t tunnelInterface = 0;
  std::vector<std::u16string> gameNames;  // lower case, as the tracker compares them
  std::uint32_t owner = 0;  // the user who asked for the acceleration (Linux steers only that user's programs)
  std::vector<Ipv4Range> direct;  // destinations that stay off the tunnel for the game too
};

struct PendingFlow {
  bool readable = false;  // a flow the service can judge (IPv4, a known record)
  std::uint64_t flowId = 0;
  std::uint8_t remote[4] = {};  // first octet first
};

class GameSteering {
 public:
  virtual ~GameSteering() = default;
  // How many game names it can steer by; a request with more is refused before anything starts.
  virtual std::size_t NameLimit() const { return std::numeric_limits<std::size_t>::max(); }

  virtual bool Start(const SteeringTarget& target, std::string& error) = 0;
  // Safe in any state, any number of times.
  virtual void Stop() = 0;
  // Whether what a start laid down in the system still stands: another program may take it away.
  virtual bool Intact() { return true; }

  // The game's processes as the tracker last found them, in the order found.
  virtual void SetGameProcesses(const std::vector<std::uint32_t>& ids) = 0;
  // The next flow waiting for its answer; false when none is.
  virtual bool TakePendingFlow(PendingFlow& flow) = 0;
  virtual void AnswerFlow(const PendingFlow& flow, bool routed) = 0;

  using ProcessVisitor = std::function<void(std::uint32_t processId, std::u16string_view executableName)>;
  // One look at the processes that may be the game; false, having visited nothing, when none could be taken.
  virtual bool ForEachProcess(const ProcessVisitor& visit) = 0;
  // The tracker's pause between looks: Windows waits out the cadence; Linux
  // sleeps until the kernel reports a program's start or end.
  virtual void AwaitChange(std::chrono::milliseconds cadence) = 0;
  // Ends a pause early: the tracker is to stop.
  virtual void Wake() = 0;
};

}  // namespace zv

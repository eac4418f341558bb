// Steering a game's own traffic into the tunnel, in split routing. Windows
// does it with the split-routing driver and the filtering platform: the
// service tells the driver the game's process ids and answers each flow the
// driver holds with a host route through the tunnel. Linux does it in the
// kernel: the game's sockets carry a mark that a rule sends into the tunnel.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net_types.h"

namespace zv {

// The game's names a split follows at most: a request with more is refused
// before anything starts, rather than served in part.
inline constexpr std::size_t kMaxGameNames = 128;

struct SteeringTarget {
  std::uint64_t tunnelInterface = 0;
  std::vector<std::string> gameNames;  // UTF-8, folded as FoldName folds them
  std::uint32_t owner = 0;  // the user who asked for the acceleration (Linux steers only that user's programs)
  std::vector<Ipv4Range> direct;  // destinations that stay off the tunnel for the game too
  // Full routing: the game is only watched (GameTraffic), nothing of it steered.
  bool watchOnly = false;
};

// IANA's protocol numbers, as traffic records carry them.
inline constexpr std::uint8_t kProtocolTcp = 6, kProtocolUdp = 17;

// A destination the game's traffic went to, and when it last did.
struct TrafficRecord {
  IpAddress destination;  // with its port, where the protocol has ports
  std::uint8_t protocol = 0;  // kProtocolTcp, kProtocolUdp, or 0: not known
  std::chrono::steady_clock::time_point last{};
};

class GameSteering {
 public:
  virtual ~GameSteering() = default;

  virtual bool Start(const SteeringTarget& target, std::string& error) = 0;
  // Safe in any state, any number of times.
  virtual void Stop() = 0;
  // Whether what a start laid down in the system still stands: another program may take it away.
  virtual bool Intact() { return true; }

  // The game's processes as the tracker last found them, in the order found.
  virtual void SetGameProcesses(const std::vector<std::uint32_t>& ids) = 0;

  // Its executable's file name as the system gives it (UTF-8, not yet folded).
  using ProcessVisitor = std::function<void(std::uint32_t processId, std::string_view executableName)>;
  // One look at the processes that may be the game; false, having visited nothing, when none could be taken.
  virtual bool ForEachProcess(const ProcessVisitor& visit) = 0;
  // The tracker's pause between looks: Windows answers the flows the driver
  // holds, then waits out the cadence; Linux sleeps until the kernel reports
  // a program that may be the game starting or ending.
  virtual void AwaitChange(std::chrono::milliseconds cadence) = 0;
  // Ends a pause early: the tracker is to stop.
  virtual void Wake() = 0;

  // Where the game's traffic went lately, as far as the platform sees it.
  // Called from another thread than the rest, at any moment, also while
  // stopped (then nothing).
  virtual std::vector<TrafficRecord> GameTraffic() { return {}; }
};

}  // namespace zv

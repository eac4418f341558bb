// What the acceleration gains, as a gamer would judge it: the round trip to
// the game's server through the tunnel beside the one it would have directly,
// measured the same way both ways; and, to tell where a broken path breaks,
// the node's endpoint outside the tunnel and whether the machine has a path
// to it at all. A round every 5 s while a tunnel is held, on a thread of its
// own that never touches the tunnel; nothing is sent while none is.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "gain_rules.h"
#include "game_steering.h"
#include "path_probe.h"

namespace zv {

inline constexpr std::chrono::seconds kGainPeriod{5};
inline constexpr std::chrono::seconds kGainProbeWait{1};

struct GainFigures {
  std::optional<IpAddress> gameServer;  // nothing while the game has not talked
  GameProbe probe = GameProbe::None;    // what measured it; None: nothing answered
  std::optional<long long> gameDirectMs, gameTunnelMs, nodeDirectMs;  // medians of the last five
  std::optional<bool> uplink;  // nothing until first looked at
};

class GainMeter {
 public:
  // `steering` tells where the game's traffic goes.
  GainMeter(PathProbe& probe, GameSteering& steering, std::chrono::milliseconds period = kGainPeriod);
  ~GainMeter();  // waits for a probe under way, at most kGainProbeWait
  GainMeter(const GainMeter&) = delete;
  GainMeter& operator=(const GainMeter&) = delete;

  // A tunnel is held that leads to `ends`: measured from now on, afresh when they change.
  void Follow(const TunnelEnds& ends);
  void End();  // none is held: nothing is sent
  GainFigures Figures() const;

 private:
  void Run();
  // One round's probes, with the lock released; false when the tunnel changed meanwhile.
  bool Round(std::unique_lock<std::mutex>& lock);
  void Forget();

  PathProbe& probe;
  GameSteering& steering;
  const std::chrono::milliseconds period;
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool ending = false;
  std::optional<TunnelEnds> ends;  // measuring while held
  std::uint64_t generation = 0;    // which tunnel a probe belongs to
  std::optional<IpAddress> server;
  GameProbe next = GameProbe::None;  // the probe the next round uses
  std::deque<RoundTrip> gameDirect, gameTunnel, nodeDirect;
  std::optional<bool> uplink;
  std::thread thread;
};

}  // namespace zv

// Per-process split routing over the platform's game steering: the names the
// game's processes go by, and the tracker that finds them and tells the
// steering whenever they change.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "game_steering.h"

namespace zv {

inline constexpr std::chrono::milliseconds kTrackerCadence{25};

class SmartSplitEngine {
 public:
  explicit SmartSplitEngine(GameSteering& steering) : steering(steering) {}
  ~SmartSplitEngine() { Stop(); }
  SmartSplitEngine(const SmartSplitEngine&) = delete;
  SmartSplitEngine& operator=(const SmartSplitEngine&) = delete;

  // False when the request names more games than a split follows.
  static bool Accepts(const std::vector<std::string>& gameProcesses);
  // On failure it is idle again and `error` holds its code.
  bool Start(std::uint64_t tunnelInterface, const std::vector<std::string>& gameProcesses, std::uint32_t owner,
             std::string& error);
  // Full routing: the game's traffic only watched, nothing steered. Never
  // fails and never holds its caller up: the steering starts on the tracker's
  // thread, and one that cannot leaves the game unwatched.
  void Watch(const std::vector<std::string>& gameProcesses, std::uint32_t owner);
  // Safe in any state, any number of times.
  void Stop();
  // What the steering laid down still stands; true when none runs.
  bool Intact() { return !steeringStarted || steering.Intact(); }
  // The game already ran when this start began (false once stopped): sockets
  // are steered only as they are made.
  bool GameBeforeStart() const { return gameBeforeStart; }

 private:
  void RunTracker();
  std::vector<std::uint32_t> ScanGameProcesses();

  GameSteering& steering;
  bool steeringStarted = false;
  bool gameBeforeStart = false;
  std::vector<std::string> processNames;  // folded, in request order
  std::atomic<bool> stopRequested{false};
  std::thread tracker;
};

}  // namespace zv

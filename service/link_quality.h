// How the path to the acceleration node does while a tunnel is up, as a gamer
// reads it: one echo a second through the tunnel, summed up over the last ten.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "node_echo.h"

namespace zv {

using QualityClock = std::chrono::steady_clock;

struct QualityFigures {
  std::size_t probes = 0;         // echoes in the window, at most ten
  long long rttMs = -1;           // the last answered one's, to the nearest ms; -1 when none was
  long long lossPercent = 0;      // of the window, rounded
  std::optional<QualityClock::time_point> lastAnswer;
};

// The last ten echoes of one tunnel.
class QualityWindow {
 public:
  static constexpr std::size_t kProbes = 10;
  void Reset();
  void Record(std::optional<std::chrono::microseconds> roundTrip, QualityClock::time_point at);
  QualityFigures Figures() const;

 private:
  std::deque<std::optional<std::chrono::microseconds>> probes;  // oldest first
  std::optional<QualityClock::time_point> lastAnswer;
};

// A thread of its own that echoes while a tunnel is up and sleeps otherwise;
// it never touches the tunnel, so the owner thread keeps the tunnel alone.
class LinkQuality {
 public:
  explicit LinkQuality(NodeEcho& echo, std::chrono::milliseconds period = std::chrono::seconds(1));
  ~LinkQuality();  // waits for an echo under way, at most one period
  LinkQuality(const LinkQuality&) = delete;
  LinkQuality& operator=(const LinkQuality&) = delete;

  void Begin();  // a tunnel came up: a fresh window
  void End();    // it went down: an echo under way no longer counts
  QualityFigures Figures() const;

 private:
  void Run();

  NodeEcho& echo;
  const std::chrono::milliseconds period;
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool measuring = false, ending = false;
  std::uint64_t generation = 0;  // which tunnel an echo belongs to
  QualityWindow window;
  std::thread thread;
};

}  // namespace zv

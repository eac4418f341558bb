// How the path to the acceleration node does while a tunnel runs, as a gamer
// reads it: one echo a second through the tunnel, summed up over the last ten.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "node_echo.h"

namespace zv {

using QualityClock = std::chrono::steady_clock;

// The last ten echoes and when the node last answered; the QueryQuality body.
class QualityWindow {
 public:
  static constexpr std::size_t kProbes = 10;
  void Reset(QualityClock::time_point start);
  void Record(std::optional<std::chrono::microseconds> roundTrip, QualityClock::time_point at);
  std::string Body(QualityClock::time_point now) const;

 private:
  std::deque<std::optional<std::chrono::microseconds>> probes;  // oldest first
  QualityClock::time_point lastHeard{};
};

// A thread of its own that echoes while a tunnel runs and sleeps while none
// does; it never touches the tunnel, so the control thread keeps the tunnel alone.
class LinkQuality {
 public:
  explicit LinkQuality(NodeEcho& echo, std::chrono::milliseconds period = std::chrono::seconds(1));
  ~LinkQuality();  // waits for an echo under way, at most one period
  LinkQuality(const LinkQuality&) = delete;
  LinkQuality& operator=(const LinkQuality&) = delete;

  void Begin();  // a tunnel came up: a fresh window
  void End();    // it went down: an echo under way no longer counts
  std::string Body() const;

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

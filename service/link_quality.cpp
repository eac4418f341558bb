#include "link_quality.h"

#include <algorithm>

#include "control_frame.h"

namespace zv {

void QualityWindow::Reset(QualityClock::time_point start) {
  probes.clear();
  lastHeard = start;
}

void QualityWindow::Record(std::optional<std::chrono::microseconds> roundTrip, QualityClock::time_point at) {
  probes.push_back(roundTrip);
  if (probes.size() > kProbes) probes.pop_front();
  if (roundTrip) lastHeard = at;
}

std::string QualityWindow::Body(QualityClock::time_point now) const {
  const auto lost = std::count(probes.begin(), probes.end(), std::nullopt);
  const auto answered = std::find_if(probes.rbegin(), probes.rend(), [](const auto& probe) { return probe.has_value(); });
  const long long roundTripMs =
      answered == probes.rend() ? -1 : (answered->value().count() + 500) / 1000;  // to the nearest millisecond
  const long long lossPercent =
      probes.empty() ? 0 : (200 * static_cast<long long>(lost) + static_cast<long long>(probes.size())) /
                               (2 * static_cast<long long>(probes.size()));
  const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastHeard).count();
  return R"({"state":"accelerating","probes":)" + std::to_string(probes.size()) +
         R"(,"rtt_ms":)" + std::to_string(roundTripMs) + R"(,"loss_percent":)" + std::to_string(lossPercent) +
         R"(,"silent_ms":)" + std::to_string(std::max<long long>(silent, 0)) + "}";
}

LinkQuality::LinkQuality(NodeEcho& echo, std::chrono::milliseconds period)
    : echo(echo), period(period), thread([this] { Run(); }) {}

LinkQuality::~LinkQuality() {
  {
    const std::lock_guard lock(mutex);
    ending = true;
  }
  changed.notify_all();
  thread.join();
}

void LinkQuality::Begin() {
  {
    const std::lock_guard lock(mutex);
    measuring = true;
    ++generation;
    window.Reset(QualityClock::now());
  }
  changed.notify_all();
}

void LinkQuality::End() {
  {
    const std::lock_guard lock(mutex);
    measuring = false;
    ++generation;
  }
  changed.notify_all();
}

std::string LinkQuality::Body() const {
  const std::lock_guard lock(mutex);
  return measuring ? window.Body(QualityClock::now()) : std::string(kIdleBody);
}

void LinkQuality::Run() {
  std::unique_lock lock(mutex);
  while (!ending) {
    if (!measuring) {
      changed.wait(lock);
      continue;
    }
    const std::uint64_t tunnel = generation;
    const auto began = QualityClock::now();
    lock.unlock();
    const auto roundTrip = echo.Echo(period);
    lock.lock();
    if (tunnel != generation) continue;  // that tunnel is gone, or another one began
    window.Record(roundTrip, QualityClock::now());
    changed.wait_until(lock, began + period, [&] { return ending || tunnel != generation; });
  }
}

}  // namespace zv

#include "link_quality.h"

#include <algorithm>

namespace zv {

void QualityWindow::Reset() {
  probes.clear();
  lastAnswer.reset();
}

void QualityWindow::Record(std::optional<std::chrono::microseconds> roundTrip, QualityClock::time_point at) {
  probes.push_back(roundTrip);
  if (probes.size() > kProbes) probes.pop_front();
  if (roundTrip) lastAnswer = at;
}

QualityFigures QualityWindow::Figures() const {
  QualityFigures figures;
  figures.probes = probes.size();
  const auto lost = static_cast<long long>(std::count(probes.begin(), probes.end(), std::nullopt));
  const auto answered = std::find_if(probes.rbegin(), probes.rend(), [](const auto& probe) { return probe.has_value(); });
  if (answered != probes.rend()) figures.rttMs = (answered->value().count() + 500) / 1000;
  const auto count = static_cast<long long>(probes.size());
  if (count > 0) figures.lossPercent = (200 * lost + count) / (2 * count);
  figures.lastAnswer = lastAnswer;
  return figures;
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
    window.Reset();
  }
  changed.notify_all();
}

void LinkQuality::End() {
  {
    const std::lock_guard lock(mutex);
    measuring = false;
    ++generation;
    window.Reset();
  }
  changed.notify_all();
}

QualityFigures LinkQuality::Figures() const {
  const std::lock_guard lock(mutex);
  return window.Figures();
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
    if (tunnel != generation) continue;  // that tunnel is gone, or another one came up
    window.Record(roundTrip, QualityClock::now());
    changed.wait_until(lock, began + period, [&] { return ending || tunnel != generation; });
  }
}

}  // namespace zv

#include "path_history.h"

#include <algorithm>
#include <cstdlib>

#include "window_rules.h"

namespace zv {

void PathHistory::Add(PathSample sample) {
  samples.push_back(sample);
  if (samples.size() > kSamples) samples.pop_front();
}

PathStats PathHistory::Stats() const {
  PathStats stats;
  long long sum = 0, changes = 0;
  int previous = -1;
  for (const PathSample& sample : samples) {
    if (sample.kind == PathSample::Kind::Lost) ++stats.lost;
    if (sample.kind != PathSample::Kind::Answered) continue;
    stats.minMs = stats.answered == 0 ? sample.rttMs : std::min(stats.minMs, sample.rttMs);
    stats.maxMs = std::max(stats.maxMs, sample.rttMs);
    sum += sample.rttMs;
    if (previous >= 0) changes += std::abs(sample.rttMs - previous);
    previous = sample.rttMs;
    ++stats.answered;
  }
  if (stats.answered > 0) stats.avgMs = static_cast<int>((sum + stats.answered / 2) / stats.answered);
  if (stats.answered > 1) stats.jitterMs = static_cast<int>((changes + (stats.answered - 1) / 2) / (stats.answered - 1));
  return stats;
}

int PathHistory::RecentLossPercent() const {
  PathStats recent;
  for (auto sample = samples.rbegin(); sample != samples.rend() && sample->kind != PathSample::Kind::Gap; ++sample) {
    if (recent.answered + recent.lost == static_cast<int>(kLossWindow)) break;
    ++(sample->kind == PathSample::Kind::Lost ? recent.lost : recent.answered);
  }
  return recent.LossPercent();
}

QString Ms(int ms) { return ms == 0 ? QStringLiteral("<1") : QString::number(ms); }

QString SummaryText(const PathStats& stats) {
  if (stats.answered == 0) return Tr("暂无延迟数据");
  return Tr("最低 %1 · 平均 %2 · 最高 %3 ms · 抖动 %4 ms · 丢包 %5%")
      .arg(Ms(stats.minMs), Ms(stats.avgMs), Ms(stats.maxMs), Ms(stats.jitterMs))
      .arg(stats.LossPercent());
}

QString RangeText(const PathStats& stats) {
  if (stats.answered == 0) return {};
  return Tr("最低/平均/最高 %1/%2/%3 ms").arg(Ms(stats.minMs), Ms(stats.avgMs), Ms(stats.maxMs));
}

}  // namespace zv

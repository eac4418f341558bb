// The last few minutes of the path, one sample a second: the round trip when
// the node answered, a loss when it did not, a gap when nothing could be
// measured (the path was down, or is being made); and what they add up to.
// Only samples taken while the path was up count. Beside each, the direct
// figure to the game's server, for the graph's second line. Qt Core only.
#pragma once

#include <QString>
#include <deque>

namespace zv {

struct PathSample {
  enum class Kind { Answered, Lost, Gap } kind = Kind::Gap;
  int rttMs = 0;
  int directMs = -1;  // the game's server outside the tunnel, as the service last measured it; -1: not measured
};

struct PathStats {
  int answered = 0, lost = 0;
  int minMs = 0, avgMs = 0, maxMs = 0;
  int jitterMs = 0;  // the mean change between one answered round trip and the next
  int LossPercent() const { return answered + lost == 0 ? 0 : (100 * lost + (answered + lost) / 2) / (answered + lost); }
};

class PathHistory {
 public:
  static constexpr std::size_t kSamples = 180;  // three minutes
  static constexpr std::size_t kLossWindow = 10;  // the line's loss: the last ten seconds the path was up

  void Add(PathSample sample);
  void Clear() { samples.clear(); }
  const std::deque<PathSample>& Samples() const { return samples; }
  PathStats Stats() const;
  // The loss of the newest samples back to the last gap, at most kLossWindow: it restarts with the path.
  int RecentLossPercent() const;

 private:
  std::deque<PathSample> samples;  // oldest first
};

// A round trip as the window writes it everywhere: "<1" below a millisecond.
QString Ms(int ms);
// "最低 12 · 平均 15 · 最高 30 ms · 抖动 2 ms · 丢包 0%", or that nothing came yet.
QString SummaryText(const PathStats& stats);
// The tray tip's part: "最低/平均/最高 12/15/30 ms"; empty before the first answer.
QString RangeText(const PathStats& stats);

}  // namespace zv

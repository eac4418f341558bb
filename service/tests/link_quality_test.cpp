// The quality figures: what the last ten echoes add up to, and the meter's
// thread, which counts only echoes of the tunnel that runs.
#include "link_quality.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace zv {
namespace {

using std::chrono::milliseconds;
using std::chrono::microseconds;

TEST(QualityWindow, TheFiguresSumUpTheLastTenEchoes) {
  constexpr std::optional<microseconds> kLost;
  struct Row {
    const char* name;
    std::vector<std::optional<microseconds>> echoes;  // one a second from the start
    std::string figures;  // probes, rtt, loss, the last answer's second
  };
  std::vector<std::optional<microseconds>> twelve(11, microseconds(5000));  // two lost, then the last one slower
  twelve[0] = twelve[1] = kLost, twelve.push_back(microseconds(7000));
  const Row rows[] = {
      {"nothing yet", {}, "0 -1 0 none"},
      {"a good path: the last answer, to the nearest ms", {microseconds(20400), microseconds(23600)}, "2 24 0 2"},
      {"under half a millisecond", {microseconds(400)}, "1 0 0 1"},
      {"one of three lost", {microseconds(9000), kLost, microseconds(9000)}, "3 9 33 3"},
      {"two of three lost: the last answer stands, and when it came", {microseconds(9000), kLost, kLost}, "3 9 67 1"},
      {"only ten count", twelve, "10 7 0 12"},
      {"a broken path: none of the ten answered", std::vector<std::optional<microseconds>>(12, kLost), "10 -1 100 none"},
  };
  for (const Row& row : rows) {
    const QualityClock::time_point start{std::chrono::hours(1)};
    QualityWindow window;
    window.Record(microseconds(1000), start - std::chrono::minutes(1));  // an earlier tunnel's
    window.Reset();
    for (std::size_t i = 0; i < row.echoes.size(); ++i) window.Record(row.echoes[i], start + milliseconds(1000 * (i + 1)));
    const QualityFigures figures = window.Figures();
    const std::string answered =
        figures.lastAnswer ? std::to_string(std::chrono::duration_cast<std::chrono::seconds>(*figures.lastAnswer - start).count())
                           : "none";
    EXPECT_EQ(std::to_string(figures.probes) + " " + std::to_string(figures.rttMs) + " " +
                  std::to_string(figures.lossPercent) + " " + answered,
              row.figures)
        << row.name;
  }
}

// A node whose echoes the test lets through one at a time.
class HeldNode final : public NodeEcho {
 public:
  std::optional<microseconds> Echo(milliseconds) override {
    std::unique_lock lock(mutex);
    ++started;
    changed.notify_all();
    changed.wait(lock, [&] { return released > 0; });
    --released;
    return microseconds(3000);
  }
  void AwaitEcho(int number) {  // until the number-th echo has begun
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return started >= number; });
  }
  void Release() {
    const std::lock_guard lock(mutex);
    ++released;
    changed.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0, released = 0;
};

TEST(LinkQuality, CountsOnlyEchoesOfTheTunnelThatRuns) {
  HeldNode node;
  LinkQuality quality(node, milliseconds(1));
  quality.Begin();
  node.AwaitEcho(1);
  EXPECT_EQ(quality.Figures().probes, 0u);
  quality.End();
  quality.Begin();  // a new tunnel while the old one's echo is under way
  node.Release();
  node.AwaitEcho(2);  // the next echo: the one before was the old tunnel's
  EXPECT_EQ(quality.Figures().probes, 0u);
  node.Release();
  node.AwaitEcho(3);
  EXPECT_EQ(quality.Figures().probes, 1u);
  EXPECT_EQ(quality.Figures().rttMs, 3);
  quality.End();
  EXPECT_EQ(quality.Figures().probes, 0u) << "nothing of an ended tunnel stays";
  node.Release();  // the destructor waits for the echo under way
}

}  // namespace
}  // namespace zv

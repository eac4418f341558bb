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

TEST(QualityWindow, TheBodySumsUpTheLastTenEchoes) {
  constexpr std::optional<microseconds> kLost;
  struct Row {
    const char* name;
    std::vector<std::optional<microseconds>> echoes;  // one a second from the start
    int now;                                          // ms after the start
    std::string body;
  };
  std::vector<std::optional<microseconds>> twelve(11, microseconds(5000));  // two lost, then the last one slower
  twelve[0] = twelve[1] = kLost, twelve.push_back(microseconds(7000));
  const Row rows[] = {
      {"nothing yet", {}, 700, R"({"state":"accelerating","probes":0,"rtt_ms":-1,"loss_percent":0,"silent_ms":700})"},
      {"a good path: the last answer, to the nearest ms",
       {microseconds(20400), microseconds(23600)},
       2300,
       R"({"state":"accelerating","probes":2,"rtt_ms":24,"loss_percent":0,"silent_ms":300})"},
      {"under half a millisecond", {microseconds(400)}, 1000,
       R"({"state":"accelerating","probes":1,"rtt_ms":0,"loss_percent":0,"silent_ms":0})"},
      {"one of three lost", {microseconds(9000), kLost, microseconds(9000)}, 3000,
       R"({"state":"accelerating","probes":3,"rtt_ms":9,"loss_percent":33,"silent_ms":0})"},
      {"two of three lost: the last answer stands, and how long ago",
       {microseconds(9000), kLost, kLost},
       3500,
       R"({"state":"accelerating","probes":3,"rtt_ms":9,"loss_percent":67,"silent_ms":2500})"},
      {"only ten count", twelve, 12000,
       R"({"state":"accelerating","probes":10,"rtt_ms":7,"loss_percent":0,"silent_ms":0})"},
      {"a broken path: none of the ten answered",
       std::vector<std::optional<microseconds>>(12, kLost),
       12400,
       R"({"state":"accelerating","probes":10,"rtt_ms":-1,"loss_percent":100,"silent_ms":12400})"},
  };
  for (const Row& row : rows) {
    const QualityClock::time_point start{std::chrono::hours(1)};
    QualityWindow window;
    window.Reset(start - std::chrono::hours(1));  // an earlier tunnel's figures
    window.Record(microseconds(1000), start - std::chrono::minutes(1));
    window.Reset(start);
    for (std::size_t i = 0; i < row.echoes.size(); ++i) window.Record(row.echoes[i], start + milliseconds(1000 * (i + 1)));
    EXPECT_EQ(window.Body(start + milliseconds(row.now)), row.body) << row.name;
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
  EXPECT_EQ(quality.Body(), R"({"state":"idle"})") << "no tunnel, no echo";

  quality.Begin();
  node.AwaitEcho(1);
  EXPECT_NE(quality.Body().find(R"("probes":0)"), std::string::npos);
  quality.End();
  quality.Begin();  // a new tunnel while the old one's echo is under way
  node.Release();
  node.AwaitEcho(2);  // the next echo: the one before was the old tunnel's
  EXPECT_NE(quality.Body().find(R"("probes":0)"), std::string::npos) << quality.Body();
  node.Release();
  node.AwaitEcho(3);
  EXPECT_NE(quality.Body().find(R"("probes":1,"rtt_ms":3,"loss_percent":0)"), std::string::npos) << quality.Body();

  quality.End();
  EXPECT_EQ(quality.Body(), R"({"state":"idle"})");
  node.Release();  // the destructor waits for the echo under way
}

}  // namespace
}  // namespace zv

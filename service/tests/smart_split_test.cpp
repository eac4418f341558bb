// The smart split over in-memory game steering and routes: which destinations
// go through the tunnel, the tracker's lists, and a start and stop that leave
// nothing behind.
#include "smart_split_engine.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "fake_game_steering.h"
#include "fake_route_table.h"

namespace zv {
namespace {

using test::Calls;

PendingFlow Flow(const char* remote, std::uint64_t id, bool readable = true) {
  PendingFlow flow{readable, id, {}};
  inet_pton(AF_INET, remote, flow.remote);
  return flow;
}

struct SplitRig {
  bool Start(std::vector<std::string> names = {"game.exe"}) { return engine.Start(101, names, 1000, error); }
  // The calls of one kind since the start.
  Calls Logged(const char* kind) {
    Calls kept;
    for (const std::string& call : log.Since(0)) {
      if (call.starts_with(kind)) kept.push_back(call);
    }
    return kept;
  }
  test::TestLog log;
  test::FakeGameSteering steering{log};
  test::FakeRouteTable routes{log};
  SmartSplitEngine engine{steering, routes};
  std::string error;
};

// Each range that stays direct, at both of its ends and just past them.
TEST(SmartSplit, OnlyDestinationsOffTheDirectRangesGetARouteAndEveryFlowItsAnswer) {
  SplitRig rig;
  const std::pair<PendingFlow, int> rows[] = {
      {Flow("8.8.8.8", 1), 1},           {Flow("8.8.8.8", 2), 1},  // the route exists already
      {Flow("0.1.2.3", 3), 0},           {Flow("1.0.0.0", 4), 1},          {Flow("10.1.2.3", 5), 0},
      {Flow("11.0.0.1", 6), 1},          {Flow("127.0.0.1", 7), 0},        {Flow("169.254.1.1", 8), 0},
      {Flow("169.253.255.255", 9), 1},   {Flow("172.16.0.1", 10), 0},      {Flow("172.31.255.255", 11), 0},
      {Flow("172.32.0.1", 12), 1},       {Flow("172.15.255.1", 13), 1},    {Flow("192.168.1.1", 14), 0},
      {Flow("192.169.0.1", 15), 1},      {Flow("223.255.255.255", 16), 1}, {Flow("224.0.0.1", 17), 0},
      {Flow("239.1.1.1", 18), 0},        {Flow("255.255.255.255", 19), 0}, {Flow("100.64.0.1", 20), 1},
      {Flow("203.0.113.9", 21, false), 0},  // not a flow the service can read
      {Flow("203.0.113.10", 0xFFFFFFFF00000001), 0},  // its route is refused, below
  };
  rig.log.Fail("add", 87, 11);  // the eleventh route asked for is 203.0.113.10's
  for (const auto& [flow, routed] : rows) rig.steering.QueueFlow(flow);
  ASSERT_TRUE(rig.Start()) << rig.error;
  ASSERT_TRUE(rig.steering.AwaitLooks(2));

  Calls verdicts;
  for (const auto& [flow, routed] : rows) verdicts.push_back("verdict " + std::to_string(routed) + " " + std::to_string(flow.flowId));
  EXPECT_EQ(rig.Logged("verdict"), verdicts);
  const Calls made = {"add tunnel 8.8.8.8/32 on 101",      "add tunnel 8.8.8.8/32 on 101",
                      "add tunnel 1.0.0.0/32 on 101",      "add tunnel 11.0.0.1/32 on 101",
                      "add tunnel 169.253.255.255/32 on 101", "add tunnel 172.32.0.1/32 on 101",
                      "add tunnel 172.15.255.1/32 on 101", "add tunnel 192.169.0.1/32 on 101",
                      "add tunnel 223.255.255.255/32 on 101", "add tunnel 100.64.0.1/32 on 101",
                      "add tunnel 203.0.113.10/32 on 101"};
  EXPECT_EQ(rig.Logged("add"), made);

  rig.engine.Stop();
  EXPECT_EQ(rig.Logged("remove"),
            (Calls{"remove tunnel 100.64.0.1/32 on 101", "remove tunnel 223.255.255.255/32 on 101",
                   "remove tunnel 192.169.0.1/32 on 101", "remove tunnel 172.15.255.1/32 on 101",
                   "remove tunnel 172.32.0.1/32 on 101", "remove tunnel 169.253.255.255/32 on 101",
                   "remove tunnel 11.0.0.1/32 on 101", "remove tunnel 1.0.0.0/32 on 101",
                   "remove tunnel 8.8.8.8/32 on 101"}))
      << "the last created goes first";
  EXPECT_TRUE(rig.routes.routes.empty());
}

TEST(SmartSplit, DrainAnswersABoundedNumberPerCycle) {
  SplitRig rig;
  constexpr int kQueued = 200 * kMaxFlowsPerDrain;  // far more than the test's wait lets through
  for (int i = 0; i < kQueued; ++i) rig.steering.QueueFlow(Flow("10.0.0.1", static_cast<std::uint64_t>(i)));
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.steering.AwaitLooks(1));
  rig.engine.Stop();  // noticed between cycles although flows are still pending
  const auto verdicts = static_cast<int>(rig.Logged("verdict").size());
  EXPECT_GE(verdicts, kMaxFlowsPerDrain);
  EXPECT_LT(verdicts, kQueued);
  EXPECT_EQ(verdicts % kMaxFlowsPerDrain, 0);
}

TEST(SmartSplit, TheTrackerTellsTheGamesProcessesOnlyWhenTheyChange) {
  SplitRig rig;
  struct Step {
    const char* what;
    test::ProcessTable table;
    bool lookFails;
    Calls sent;
  };
  const Step steps[] = {
      {"no game yet", {{1, u"explorer.exe"}, {2, u"game"}, {3, u"my-game.exe"}}, false, {}},
      {"found, in the order looked at", {{1, u"explorer.exe"}, {7, u"GAME.EXE"}, {9, u"Launcher.exe"}, {8, u"game.exe"}},
       false, {"ids 7 9 8"}},
      {"unchanged", {{7, u"GAME.EXE"}, {9, u"Launcher.exe"}, {8, u"game.exe"}, {4, u"other.exe"}}, false, {}},
      {"reordered", {{8, u"game.exe"}, {7, u"GAME.EXE"}, {9, u"Launcher.exe"}}, false, {"ids 8 7 9"}},
      {"the look fails", {{8, u"game.exe"}}, true, {"ids"}},
      {"back", {{8, u"game.exe"}}, false, {"ids 8"}},
      {"the game exits", {{1, u"explorer.exe"}}, false, {"ids"}},
  };
  ASSERT_TRUE(rig.Start({"Game.exe", "", "\xff", "launcher.exe"}));
  std::size_t seen = 0;
  for (const Step& step : steps) {
    rig.steering.SetTable(step.table, step.lookFails);
    ASSERT_TRUE(rig.steering.AwaitLooks(3)) << step.what;  // a whole cycle ran with the new table
    const Calls sent = rig.Logged("ids");
    EXPECT_EQ(Calls(sent.begin() + static_cast<long>(seen), sent.end()), step.sent) << step.what;
    seen = sent.size();
  }
  rig.engine.Stop();
  EXPECT_EQ(rig.log.Since(1).front(), "steer 101 owner 1000 game.exe launcher.exe") << "the usable names, folded";
}

TEST(SmartSplit, AStartThatFailsLeavesItIdleAndAStopLeavesNothing) {
  struct Row {
    const char* what;
    std::vector<std::string> names;
    const char* steerError;
    const char* error;
    Calls calls;
  };
  const Row rows[] = {
      {"no names", {"", ""}, "", "smart_split_process_rules_empty", {"steer 101 owner 1000", "steer stop"}},
      {"no valid UTF-8", {"\xc3\x28", "\xed\xa0\x80x.exe"}, "", "smart_split_process_rules_empty",
       {"steer 101 owner 1000", "steer stop"}},
      {"no steering", {"game.exe"}, "smart_split_driver_unavailable_2", "smart_split_driver_unavailable_2",
       {"steer 101 owner 1000 game.exe"}},
  };
  for (const Row& row : rows) {
    SplitRig rig;
    rig.steering.startError = row.steerError;
    EXPECT_FALSE(rig.Start(row.names)) << row.what;
    EXPECT_EQ(rig.error, row.error) << row.what;
    EXPECT_EQ(rig.log.Since(1), row.calls) << row.what;  // after the stop every start begins with
    EXPECT_FALSE(rig.steering.running) << row.what;
  }
  SplitRig rig;  // a second start first stops the first completely, and looks only for its own names
  rig.steering.SetTable({{7, u"game.exe"}, {8, u"other.exe"}});
  rig.steering.QueueFlow(Flow("8.8.8.8", 1));
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.steering.AwaitLooks(2));
  ASSERT_TRUE(rig.Start({"other.exe"}));
  ASSERT_TRUE(rig.steering.AwaitLooks(2));
  rig.engine.Stop();
  EXPECT_EQ(rig.Logged("ids"), (Calls{"ids 7", "ids 8"}));
  EXPECT_TRUE(rig.routes.routes.empty()) << "the first start's route went with it";
  rig.steering.nameLimit = 2;
  EXPECT_TRUE(rig.engine.Accepts({"a.exe", "A.EXE", "b.exe"})) << "names count once folded";
  EXPECT_FALSE(rig.engine.Accepts({"a.exe", "b.exe", "c.exe"}));
}

}  // namespace
}  // namespace zv

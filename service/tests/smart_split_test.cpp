// The smart split engine against a fake driver, filtering engine and process table.
#include "smart_split_engine.h"

#include <gtest/gtest.h>

#include "fake_system.h"
#include "little_endian.h"

namespace zv {
namespace {

using test::Bytes;
using test::FakeSplitSystem;
using test::FlowRecord;
using Log = test::Calls;

struct SplitRig {
  bool Start(std::vector<std::string> names = {"game.exe"}) { return engine.Start(4097, names, error); }
  FakeSplitSystem split;
  test::FakeTunnelSystem routes;
  SmartSplitEngine engine{split, routes};
  std::string error;
};

TEST(SmartSplit, DrainRoutesPublicDestinationsOnceAndAnswersEveryFlow) {
  SplitRig rig;
  struct Row {
    Bytes record;
    int routed;
  };
  Bytes shortRecord = FlowRecord("8.8.4.4", 16);
  shortRecord.pop_back();
  const Row rows[] = {
      {FlowRecord("8.8.8.8", 1), 1},        {FlowRecord("8.8.8.8", 2), 1},  // the route exists already
      {FlowRecord("10.1.2.3", 3), 0},       {FlowRecord("127.0.0.1", 4), 0},
      {FlowRecord("172.16.0.1", 5), 0},     {FlowRecord("192.168.1.1", 6), 0},
      {FlowRecord("169.254.1.1", 7), 0},    {FlowRecord("239.1.1.1", 8), 0},
      {FlowRecord("0.1.2.3", 9), 0},        {FlowRecord("255.255.255.255", 10), 0},
      {FlowRecord("172.32.0.1", 11), 1},    {FlowRecord("192.169.0.1", 12), 1},
      {FlowRecord("100.64.0.1", 13), 1},    {FlowRecord("203.0.113.9", 14, 23), 0},
      {FlowRecord("203.0.113.9", 15, 2, 2), 0}, {shortRecord, 0},
      {FlowRecord("203.0.113.10", 0xFFFFFFFF00000001), 0},  // its route is refused, below
      {FlowRecord("172.15.255.1", 18), 1},  {FlowRecord("172.31.255.255", 19), 0},
  };
  rig.routes.Fail("CreateRoute", 87, 6);  // the sixth route made is 203.0.113.10's
  for (const Row& row : rows) rig.split.QueueFlow(row.record);
  ASSERT_TRUE(rig.Start()) << rig.error;

  Log expected = {"open"};
  for (const Row& row : rows) {
    expected.push_back("verdict " + std::to_string(row.routed) + " " +
                       std::to_string(GetLittleEndian<std::uint64_t>(&row.record[8])));
  }
  ASSERT_TRUE(test::WaitUntil([&] { return rig.split.DeviceLog().size() >= expected.size(); }));
  EXPECT_EQ(rig.split.DeviceLog(), expected);
  const std::multiset<std::string> routes = {
      "8.8.8.8/32 via 0.0.0.0 on 4097", "172.32.0.1/32 via 0.0.0.0 on 4097", "192.169.0.1/32 via 0.0.0.0 on 4097",
      "100.64.0.1/32 via 0.0.0.0 on 4097", "172.15.255.1/32 via 0.0.0.0 on 4097"};
  EXPECT_EQ(rig.routes.routes, routes);

  rig.engine.Stop();
  Log deletions;
  for (const std::string& call : rig.routes.calls) {
    if (call.starts_with("DeleteRoute")) deletions.push_back(call.substr(12, call.find('/') - 12));
  }
  EXPECT_EQ(deletions, (Log{"172.15.255.1", "100.64.0.1", "192.169.0.1", "172.32.0.1", "8.8.8.8"}))
      << "the last created goes first";
  EXPECT_TRUE(rig.routes.routes.empty());
}

TEST(SmartSplit, DrainAnswersABoundedNumberPerCycle) {
  SplitRig rig;
  constexpr int kQueued = 200 * kMaxFlowsPerDrain;  // far more than the test's wait lets through
  for (int i = 0; i < kQueued; ++i) rig.split.QueueFlow(FlowRecord("10.0.0.1", i));
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(rig.split.WaitForScans(1));
  rig.engine.Stop();  // noticed between cycles although flows are still pending
  const Log log = rig.split.DeviceLog();
  const auto verdicts = std::count_if(log.begin(), log.end(), [](auto& e) { return e.starts_with("verdict"); });
  EXPECT_GE(verdicts, kMaxFlowsPerDrain);
  EXPECT_LT(verdicts, kQueued);
  EXPECT_EQ(verdicts % kMaxFlowsPerDrain, 0);
}

TEST(SmartSplit, TrackerSendsTheGameProcessIdsOnlyWhenTheyChange) {
  SplitRig rig;
  test::ProcessTable many;
  std::string first128 = "ids";
  for (std::uint32_t id = 1000; id < 1130; ++id) {
    many.emplace_back(id, u"game.exe");
    if (id < 1128) first128 += " " + std::to_string(id);
  }
  struct Step {
    const char* what;
    test::ProcessTable table;
    bool snapshotFails;
    Log sent;
  };
  const Step steps[] = {
      {"no game yet", {{1, u"explorer.exe"}, {2, u"game"}, {3, u"my-game.exe"}}, false, {}},
      {"found, in snapshot order",
       {{1, u"explorer.exe"}, {7, u"GAME.EXE"}, {9, u"Launcher.exe"}, {8, u"game.exe"}}, false, {"ids 7 9 8"}},
      {"unchanged", {{7, u"GAME.EXE"}, {9, u"Launcher.exe"}, {8, u"game.exe"}, {4, u"other.exe"}}, false, {}},
      {"reordered", {{8, u"game.exe"}, {7, u"GAME.EXE"}, {9, u"Launcher.exe"}}, false, {"ids 8 7 9"}},
      {"ids are zero-extended", {{0x80000007, u"game.exe"}}, false, {"ids 2147483655"}},
      {"snapshot fails", {{8, u"game.exe"}}, true, {"ids"}},
      {"many", many, false, {first128}},
      {"game exits", {{1, u"explorer.exe"}}, false, {"ids"}},
  };
  ASSERT_TRUE(rig.Start({"Game.exe", "", "\xff", "launcher.exe"}));
  std::size_t seen = 1;  // "open"
  for (const Step& step : steps) {
    rig.split.SetProcesses(step.table, step.snapshotFails);
    ASSERT_TRUE(rig.split.WaitForScans(3)) << step.what;  // a whole cycle ran with the new table
    const Log log = rig.split.DeviceLog();
    EXPECT_EQ(Log(log.begin() + static_cast<long>(seen), log.end()), step.sent) << step.what;
    seen = log.size();
  }
  rig.engine.Stop();
  const auto pauses = rig.split.Pauses();
  ASSERT_FALSE(pauses.empty());
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), kTrackerCadence), static_cast<long>(pauses.size()))
      << "every cycle pauses 25 ms";
}

TEST(SmartSplit, StartAndStopLeaveNothingOpen) {
  struct Row {
    const char* what;
    std::vector<std::string> names;
    std::uint32_t openError;
    bool refuseThread;
    const char* error;
    Log device;
  };
  // The filtering session goes before the device, which is handed an empty list first.
  const Log closed = {"open", "engine closed", "ids (1032 bytes)", "close"};
  const Row rows[] = {
      {"no names", {"", ""}, 0, false, "smart_split_process_rules_empty", closed},
      {"no valid UTF-8", {"\xc3\x28", "\xed\xa0\x80x.exe"}, 0, false, "smart_split_process_rules_empty", closed},
      {"no driver", {"game.exe"}, 2, false, "smart_split_driver_unavailable_2", {}},
      {"no thread", {"game.exe"}, 0, true, "smart_split_tracker_failed_11", closed},
  };
  for (const Row& row : rows) {
    SplitRig rig;
    rig.split.openError = row.openError;
    rig.split.refuseThread = row.refuseThread;
    EXPECT_FALSE(rig.Start(row.names)) << row.what;
    EXPECT_EQ(rig.error, row.error) << row.what;
    EXPECT_EQ(rig.split.DeviceLog(), row.device) << row.what;
    EXPECT_EQ(rig.split.Scans(), 0) << "no tracker: " << row.what;
    const Log calls = rig.split.FilterCalls();
    EXPECT_EQ(calls.empty() ? "" : calls.back(), row.openError ? "" : "CloseFilterEngine") << row.what;
  }
  SplitRig rig;  // a second start first stops the first completely, and looks only for its own names
  rig.split.SetProcesses({{7, u"game.exe"}});
  rig.split.QueueFlow(FlowRecord("8.8.8.8", 1));
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(test::WaitUntil([&] { return rig.split.DeviceLog().size() == 3; }));
  ASSERT_TRUE(rig.Start({"other.exe"}));
  ASSERT_TRUE(rig.split.WaitForScans(3));
  EXPECT_EQ(rig.split.DeviceLog(),
            (Log{"open", "ids 7", "verdict 1 1", "engine closed", "ids (1032 bytes)", "close", "open"}));
  EXPECT_TRUE(rig.routes.routes.empty());
}

// The objects of one transaction; those that exist already are kept, and any
// other failure aborts the transaction and names its call.
TEST(FilterObjects, OneTransactionOfExactlyTheseObjectsAndEachResultOfEachCall) {
  const std::string provider = "{b8eb2037-2c5c-43a6-8d8e-51ebdbc46191}", sublayer = "{3947d46a-96b7-463b-a25c-68f0e58b9dc2}",
                    v4 = "{11ae83ec-749d-4a12-932f-789a62879531}", v6 = "{8357822a-2f8c-42e6-a3d8-71afd345587c}",
                    layer4 = "{c38d57d1-05a7-4c33-904f-7fbceee60e82}", layer6 = "{4a72393b-319f-44bc-84c3-ba54dcb3b6b4}";
  const auto filter = [&](const std::string& layer, const std::string& callout) {
    return "AddFilter 'ZENTRAVOLK Game Process Filter' provider " + provider + " layer " + layer + " sublayer " +
           sublayer + " action 20483 callout " + callout;
  };
  const Log transaction = {
      "OpenFilterEngine authn 10 flags 1", "BeginTransaction", "AddProvider " + provider + " 'ZENTRAVOLK Smart Split'",
      "AddSubLayer " + sublayer + " 'ZENTRAVOLK Process Split' provider " + provider + " weight 28672",
      "AddCallout " + v4 + " 'ZENTRAVOLK Flow Classifier' provider " + provider + " layer " + layer4,
      filter(layer4, v4),
      "AddCallout " + v6 + " 'ZENTRAVOLK Flow Classifier' provider " + provider + " layer " + layer6,
      filter(layer6, v6), "CommitTransaction"};
  constexpr std::uint32_t kExists = 0x80320009;
  struct Row {
    const char* call;
    std::uint32_t result;
    const char* code;  // empty: the start succeeds
    int nth = 0;
  };
  const Row rows[] = {
      {"", 0, ""},
      {"OpenFilterEngine", 5, "wfp_engine_open_failed_5"},
      {"BeginTransaction", 0x80320017, "wfp_transaction_failed_2150760471"},
      {"AddProvider", kExists, ""},
      {"AddProvider", 0x80320001, "wfp_provider_failed_2150760449"},
      {"AddSubLayer", kExists, ""},
      {"AddSubLayer", 87, "wfp_sublayer_failed_87"},
      {"AddCallout", kExists, ""},
      {"AddCallout", 0x80320002, "wfp_callout_failed_2150760450", 2},
      {"AddFilter", kExists, "wfp_filter_failed_2150760457", 1},  // the engine gives every filter a fresh key
      {"AddFilter", 5, "wfp_filter_failed_5", 2},
      {"CommitTransaction", 0x80320011, "wfp_commit_failed_2150760465"},
  };
  for (const Row& row : rows) {
    SplitRig rig;
    rig.split.Fail(row.call, row.result, row.nth);
    const std::string label = std::string(row.call) + " " + std::to_string(row.result);
    EXPECT_EQ(rig.Start(), *row.code == '\0') << label;
    EXPECT_EQ(rig.error, row.code) << label;
    if (*row.code != '\0') {
      const bool inTransaction = std::string_view(row.call).starts_with("Add");
      EXPECT_EQ(rig.split.FilterCalls().back() == "AbortTransaction", inTransaction) << label;
      EXPECT_EQ(rig.split.DeviceLog(), (Log{"open", "close"})) << label;
    } else {
      EXPECT_EQ(rig.split.FilterCalls(), transaction) << label;
    }
    rig.engine.Stop();
    EXPECT_EQ(rig.split.FilterCalls().back() == "CloseFilterEngine", std::string_view(row.call) != "OpenFilterEngine")
        << "an opened session waits for the next stop: " << label;
  }
}

}  // namespace
}  // namespace zv

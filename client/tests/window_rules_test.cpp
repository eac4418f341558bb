// The window's rules as plain functions: which actions are possible, the probe
// value, the Steam address, the membership lines, how names are cut, and what
// the path's answers mean: the words, the colour, when it is loud, when the
// node is replaced and when a restarted service is given the session again.
#include "window_rules.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "path_history.h"
#include "path_watch.h"
#include "stand_in_service.h"

namespace {

using zv::Phase;
using zv::PathHealth;
using Action = zv::PathTurn::Action;
using namespace zv::test;

TEST(Controls, FollowWhatTheWindowKnows) {
  const struct {
    const char* why;
    zv::ControlFacts facts;
    bool start, stop, launch;
  } rows[] = {
      {"signed out", {}, false, false, false},
      {"signed in, no region yet", {.signedIn = true}, false, false, false},
      {"ready", {.signedIn = true, .regionHeld = true}, true, false, false},
      {"a region but signed out", {.regionHeld = true}, false, false, false},
      {"the nodes are asked for", {.phase = Phase::Preparing, .signedIn = true, .regionHeld = true}, false, false, false},
      {"a session is asked for", {.phase = Phase::Requesting, .signedIn = true, .regionHeld = true}, false, false, false},
      {"running, its game selected",
       {.phase = Phase::Running, .signedIn = true, .regionHeld = true, .sessionHeld = true, .serviceAccelerating = true,
        .acceleratedSelected = true},
       false, true, true},
      {"running, another game selected",
       {.phase = Phase::Running, .signedIn = true, .regionHeld = true, .sessionHeld = true, .serviceAccelerating = true},
       false, true, false},
      {"running, the service gone",
       {.phase = Phase::Running, .signedIn = true, .sessionHeld = true, .tunnelLost = true, .acceleratedSelected = true},
       false, true, false},
      {"stopping", {.phase = Phase::Stopping, .signedIn = true, .regionHeld = true, .sessionHeld = true,
                    .serviceAccelerating = true, .acceleratedSelected = true},
       false, false, false},
      {"rolling back", {.phase = Phase::RollingBack, .signedIn = true, .regionHeld = true, .sessionHeld = true},
       false, false, false},
      {"switching nodes", {.phase = Phase::Switching, .signedIn = true, .regionHeld = true, .acceleratedSelected = true},
       false, false, false},
      {"a session left held after its deletion failed", {.signedIn = true, .regionHeld = true, .sessionHeld = true},
       false, true, false},
      {"the service accelerates for an earlier run", {.signedIn = true, .regionHeld = true, .serviceAccelerating = true},
       false, true, false},
      {"stopped: the launch goes with the tunnel", {.signedIn = true, .regionHeld = true, .acceleratedSelected = true},
       true, false, false},
  };
  for (const auto& row : rows) {
    const zv::Controls controls = zv::ControlsFor(row.facts);
    EXPECT_EQ(std::tuple(controls.start, controls.stop, controls.launch), std::tuple(row.start, row.stop, row.launch))
        << row.why;
  }
}

TEST(ProbeValue, IsTheScoreWhenWholeAndAtLeastOne) {
  const std::pair<QJsonValue, int> rows[] = {
      {20, 20}, {QJsonValue::Undefined, 100}, {0, 1}, {-5, 1}, {12.5, 100}, {"7", 100}, {3e9, 100}, {2147483647, 2147483647},
  };
  for (const auto& [score, probe] : rows) {
    EXPECT_EQ(zv::ProbeValue(score), probe) << QJsonDocument(QJsonArray{score}).toJson().toStdString();
  }
}

TEST(SteamRunAddress, OnlyForTheKnownSlugsExactly) {
  const std::pair<const char*, const char*> rows[] = {
      {"cs2", "steam://rungameid/730"},
      {"pubg", "steam://rungameid/578080"},
      {"war-thunder-international", "steam://rungameid/236390"},
      {"call-of-duty", "steam://rungameid/1938090"},
      {"war-thunder", ""},
      {"CS2", ""},
      {"", ""},
  };
  for (const auto& [slug, address] : rows) EXPECT_EQ(zv::SteamRunAddress(slug), address) << slug;
}

TEST(Membership, IsShownAsTheBackendReportsIt) {
  const QDateTime now = QDateTime::fromString("2026-03-01T23:55:00Z", Qt::ISODate);
  const auto local = [](const char* iso) {
    return QDateTime::fromString(iso, Qt::ISODate).toLocalTime().toString("yyyy-MM-dd HH:mm");
  };
  const struct {
    QJsonValue membership;  // undefined: no member at all
    QString status, expiry;
    bool active;
  } rows[] = {
      {QJsonObject{{"active", true}, {"kind", "trial"}, {"expires_at", "2026-03-02T00:05:00Z"}},
       "会员状态：试用会员 · 剩余 1 天", "到期时间：" + local("2026-03-02T00:05:00Z"), true},  // calendar days in UTC
      {QJsonObject{{"active", true}, {"kind", "grant"}, {"expires_at", "2026-03-04T12:00:00Z"}},
       "会员状态：赠送会员 · 剩余 3 天", "到期时间：" + local("2026-03-04T12:00:00Z"), true},
      {QJsonObject{{"active", true}, {"kind", "grant"}, {"expires_at", "2020-01-02T03:04:00Z"}},
       "会员状态：赠送会员 · 剩余 0 天", "到期时间：" + local("2020-01-02T03:04:00Z"), true},
      {QJsonObject{{"active", true}, {"kind", "Trial"}}, "会员状态：正式会员 · 剩余 0 天", "到期时间：", true},
      {QJsonObject{{"active", false}}, "会员状态：未开通或已过期", "到期时间：--", false},
      {QJsonObject{{"active", false}, {"expires_at", "2020-01-02T03:04:00Z"}}, "会员状态：未开通或已过期",
       "到期时间：" + local("2020-01-02T03:04:00Z"), false},
      {QJsonValue::Undefined, "会员状态：未开通或已过期", "到期时间：--", false},
  };
  for (const auto& row : rows) {
    QJsonObject profile{{"account", "me"}};
    if (!row.membership.isUndefined()) profile.insert("membership", row.membership);
    const zv::MembershipLines lines = zv::MembershipOf(profile, now);
    EXPECT_EQ(std::tuple(lines.status, lines.expiry, lines.active), std::tuple(row.status, row.expiry, row.active))
        << QJsonDocument(profile).toJson(QJsonDocument::Compact).toStdString();
  }
}

TEST(Elided, CutsOnlyWhatIsTooLong) {
  EXPECT_EQ(zv::Elided("Game One", 8), "Game One");
  EXPECT_EQ(zv::Elided("Game One!", 8), "Game On…");
  EXPECT_EQ(zv::Elided(QString(96, 'W'), 24).size(), 24);
}

QString Repairing(int repairMs, const char* reason) {
  return Quality(QString(R"("path":"repairing","repair_ms":%1,"reason":"%2","up_ms":0,"probes":0,"rtt_ms":-1,)"
                         R"("loss_percent":0,"silent_ms":0,"heard_ms":-1,"handshake_ms":-1)")
                     .arg(repairMs).arg(reason));
}

// An exchange's outcome as the quality poll reports it.
struct Answer {
  bool ok = true;
  QString reply;
  QString error;
};
Answer Gone() { return {false, "", "后台加速服务未运行"}; }

TEST(PathVerdict, EachAnswerHasItsWordsAndLook) {
  const struct {
    const char* why;
    Answer answer;
    PathHealth health;
    QString line, status, tray;
    const char* level;
    bool broken, tunnelLost;
  } rows[] = {
      {"a good path", {true, kHealthyPath}, PathHealth::Good, "延迟 23 ms · 丢包 0%", "", "延迟 23 ms", "good", false, false},
      {"under a millisecond", {true, Up(60000, 0, 0, 90, 90, 30000)}, PathHealth::Good, "延迟 <1 ms · 丢包 0%", "",
       "延迟 <1 ms", "good", false, false},
      {"lossy", {true, Up(60000, 41, 20, 900, 900, 30000)}, PathHealth::Poor, "延迟 41 ms · 丢包 20%", "", "延迟 41 ms",
       "poor", false, false},
      {"slow", {true, Up(60000, 150, 0, 100, 100, 30000)}, PathHealth::Poor, "延迟 150 ms · 丢包 0%", "",
       "延迟 150 ms", "poor", false, false},
      {"just up, no handshake yet", {true, Up(2000, -1, 0, 2000, -1, -1)}, PathHealth::Connecting, "正在连接节点…", "",
       "正在连接节点", "good", false, false},
      {"no handshake after 6 s", {true, Up(6000, -1, 100, 6000, -1, -1)}, PathHealth::NoHandshake,
       "无法连接节点：6 秒内没有握手", "线路中断：节点无响应", "线路中断", "broken", true, false},
      {"handshake made, no echo yet", {true, Up(4000, -1, 100, 4000, 3900, 3950)}, PathHealth::Measuring,
       "正在测量延迟…", "", "正在测量延迟", "good", false, false},
      {"a node that drops echoes but keeps the tunnel alive", {true, Up(40000, -1, 100, 40000, 6000, 35000)},
       PathHealth::LatencyUnknown, "延迟未知：节点不回应测速，隧道畅通", "", "延迟未知", "unknown", false, false},
      {"echoes answered, then three missed", {true, Up(60000, 23, 30, 3000, 3000, 30000)}, PathHealth::NodeSilent,
       "线路中断：节点已 3 秒无响应", "线路中断：节点无响应", "线路中断", "broken", true, false},
      {"game traffic came back a second after the last echo answer: not alive enough",
       {true, Up(60000, 23, 30, 3500, 2500, 30000)}, PathHealth::NodeSilent, "线路中断：节点已 2 秒无响应",
       "线路中断：节点无响应", "线路中断", "broken", true, false},
      {"echoes never answered and the tunnel silent too", {true, Up(20000, -1, 100, 20000, 13000, 19000)},
       PathHealth::NodeSilent, "线路中断：节点已 13 秒无响应", "线路中断：节点无响应", "线路中断", "broken", true, false},
      {"repairing, the adapter gone", {true, Repairing(12500, "adapter_gone")}, PathHealth::Repairing,
       "线路中断，正在自动重连（12 秒） · 隧道网卡已消失", "线路中断，正在自动重连（12 秒） · 隧道网卡已消失",
       "线路中断，正在重连", "broken", true, false},
      {"repairing, our rules taken", {true, Repairing(2000, "rules_gone")}, PathHealth::Repairing,
       "线路中断，正在自动重连（2 秒） · 路由规则被其他程序移除", "线路中断，正在自动重连（2 秒） · 路由规则被其他程序移除",
       "线路中断，正在重连", "broken", true, false},
      {"repairing, no path", {true, Repairing(3000, "no_path")}, PathHealth::Repairing,
       "线路中断，正在自动重连（3 秒） · 没有通往节点的网络", "线路中断，正在自动重连（3 秒） · 没有通往节点的网络",
       "线路中断，正在重连", "broken", true, false},
      {"repairing after a failed rebuild", {true, Repairing(1000, "create_adapter_failed_2")}, PathHealth::Repairing,
       "线路中断，正在自动重连（1 秒） · 重建失败（create_adapter_failed_2）",
       "线路中断，正在自动重连（1 秒） · 重建失败（create_adapter_failed_2）", "线路中断，正在重连", "broken", true, false},
      {"an older service: echoes alone", {true, Quality(R"("probes":5,"rtt_ms":23,"loss_percent":0,"silent_ms":5200)")},
       PathHealth::NodeSilent, "线路中断：节点已 5 秒无响应", "线路中断：节点无响应", "线路中断", "broken", true, false},
      {"the service restarted", {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, "本地加速服务已重新启动",
       "本地加速服务已重新启动，正在恢复加速…", "正在恢复加速", "broken", false, true},
      {"the service gone", Gone(), PathHealth::ServiceGone, "本地加速服务已停止", "本地加速服务已停止，等待它恢复…",
       "本地加速服务已停止", "broken", true, true},
      {"a service without figures", {false, R"({"error":"unknown_operation"})", "服务拒绝了请求"}, PathHealth::NoFigures,
       "", "", "", "good", false, false},
      {"a service that refuses", {false, R"({"error":"boom"})", "服务拒绝了请求"}, PathHealth::Unreadable,
       "无法读取线路质量：服务拒绝了请求", "", "线路质量未知", "poor", false, false},
  };
  for (const auto& row : rows) {
    const zv::PathVerdict v = zv::Judge(zv::ReadPath(row.answer.ok, row.answer.reply, row.answer.error));
    EXPECT_EQ(std::tuple(v.health, v.line, v.status, v.tray, QString(v.level), v.broken, v.tunnelLost),
              std::tuple(row.health, row.line, row.status, row.tray, QString(row.level), row.broken, row.tunnelLost))
        << row.why;
  }
}

// One acceleration's answers over time, each row one second's poll.
TEST(PathWatch, ReplacesADeadNodeOnceAndResendsToARestartedService) {
  const QJsonArray nodes{QJsonObject{{"id", "n1"}, {"name", "A"}}, QJsonObject{{"id", "n2"}, {"name", "B"}},
                         QJsonObject{{"id", "n3"}, {"name", "C"}}};
  const QString noneLeft = "无法连接加速节点，且没有其他可用节点；正在继续重试";
  const struct {
    qint64 at;
    Answer answer;
    PathHealth health;
    Action action = Action::None;
    const char* node = "";  // the node switched to
    bool alarm = false;
    QString status = {};  // when it says more than the verdict's own
  } timeline[] = {
      {0, {true, Up(900, -1, 0, 900, -1, -1)}, PathHealth::Connecting},
      {5000, {true, Up(5900, -1, 100, 5900, -1, -1)}, PathHealth::Connecting},
      // A first node that never shakes hands is left for the next offered one.
      {6000, {true, Up(6000, -1, 100, 6000, -1, -1)}, PathHealth::NoHandshake, Action::SwitchNode, "n2"},
      {7000, {true, Up(800, -1, 0, 800, 700, 750)}, PathHealth::Measuring},
      {8000, {true, kHealthyPath}, PathHealth::Good},
      {9000, {true, Up(60000, 23, 10, 3100, 3100, 30000)}, PathHealth::NodeSilent, Action::None, "", true},
      {10000, {true, Up(60000, 23, 20, 4100, 4100, 30000)}, PathHealth::NodeSilent},  // said once, not again
      {11000, {true, kHealthyPath}, PathHealth::Good},                                // back: quiet
      {12000, {true, Repairing(500, "no_path")}, PathHealth::Repairing, Action::None, "", true},
      {20000, {true, Repairing(8500, "no_path")}, PathHealth::Repairing},  // our own network: no switch
      // A running node silent past the bound goes too, each node once; then none is left to try.
      {40000, {true, Up(90000, -1, 100, 15000, 15000, 60000)}, PathHealth::NodeSilent, Action::SwitchNode, "n3"},
      {41000, {true, Up(6000, -1, 100, 6000, -1, -1)}, PathHealth::NoHandshake, Action::None, "", true, noneLeft},
      {42000, {true, Up(7000, -1, 100, 7000, -1, -1)}, PathHealth::NoHandshake, Action::None, "", false, noneLeft},
      {43000, {true, kHealthyPath}, PathHealth::Good},
      // One refused connection is a busy channel; two in a row, a stopped service.
      {44000, Gone(), PathHealth::Unreadable},
      {45000, Gone(), PathHealth::ServiceGone, Action::None, "", true},
      // Back without our tunnel: given the session at once, then every 5 s while it will not take it.
      {46000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, Action::Resend},
      {47000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle},
      {51000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, Action::Resend},
      {52000, {true, Up(900, -1, 0, 900, -1, -1)}, PathHealth::Connecting},
      {53000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, Action::Resend},  // a new episode, at once
  };
  zv::PathWatch watch;
  watch.Begin(nodes);
  for (const auto& row : timeline) {
    const zv::PathTurn turn = watch.Take(row.answer.ok, row.answer.reply, row.answer.error, row.at);
    EXPECT_EQ(std::tuple(turn.verdict.health, turn.action, turn.node.value("id").toString(), turn.alarm,
                         row.status.isEmpty() ? row.status : turn.verdict.status),
              std::tuple(row.health, row.action, QString(row.node), row.alarm, row.status))
        << row.at;
  }
  EXPECT_EQ(watch.Node().value("id"), "n3");
}

TEST(PathHistory, SamplesAddUpToTheFiguresShown) {
  using Kind = zv::PathSample::Kind;
  const struct {
    std::vector<zv::PathSample> samples;
    QString summary, range;
  } rows[] = {
      {{}, "暂无延迟数据", ""},
      {{{Kind::Gap}, {Kind::Lost}}, "暂无延迟数据", ""},
      {{{Kind::Answered, 20}}, "最低 20 · 平均 20 · 最高 20 ms · 抖动 0 ms · 丢包 0%", "最低/平均/最高 20/20/20 ms"},
      // Jitter is the mean change from one answer to the next, gaps and losses skipped.
      {{{Kind::Answered, 20}, {Kind::Gap}, {Kind::Answered, 30}, {Kind::Lost}, {Kind::Answered, 22}},
       "最低 20 · 平均 24 · 最高 30 ms · 抖动 9 ms · 丢包 25%", "最低/平均/最高 20/24/30 ms"},
  };
  for (const auto& row : rows) {
    zv::PathHistory history;
    for (const auto& sample : row.samples) history.Add(sample);
    EXPECT_EQ(zv::SummaryText(history.Stats()), row.summary);
    EXPECT_EQ(zv::RangeText(history.Stats()), row.range);
  }
  zv::PathHistory full;
  full.Add({Kind::Answered, 999});
  for (std::size_t i = 0; i < zv::PathHistory::kSamples; ++i) full.Add({Kind::Answered, 10});
  EXPECT_EQ(full.Stats().maxMs, 10) << "only the last three minutes count";
  EXPECT_EQ(full.Samples().size(), zv::PathHistory::kSamples);
}

}  // namespace

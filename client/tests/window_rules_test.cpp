// The window's rules as plain functions: which actions are possible, the probe
// value, the Steam address, the membership lines, how names are cut, the
// routing's words, and what the path's answers mean: the words, the colour,
// when the node is proven, when it is loud, when the node is replaced, when a
// restarted service is given the session again, and the figures.
#include "window_rules.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "path_graph.h"
#include "path_history.h"
#include "path_watch.h"
#include "stand_in_service.h"

namespace {

using zv::Phase;
using zv::PathHealth;
using Action = zv::PathTurn::Action;
using namespace zv::test;

// Facts by letter: Signed in, a Region held, a session Held, the service Accelerating, the
// tunnel Lost, the accelerated Game selected; the actions as start, stop, launch ("+" on).
TEST(Controls, FollowWhatTheWindowKnows) {
  const struct {
    Phase phase;
    const char *facts, *actions, *why;
  } rows[] = {
      {Phase::Idle, "", "---", "signed out"},
      {Phase::Idle, "S", "---", "signed in, no region yet"},
      {Phase::Idle, "SR", "+--", "ready"},
      {Phase::Idle, "R", "---", "a region but signed out"},
      {Phase::Preparing, "SR", "---", "the nodes are asked for"},
      {Phase::Requesting, "SR", "---", "a session is asked for"},
      {Phase::Running, "SRHAG", "-++", "running, its game selected"},
      {Phase::Running, "SRHA", "-+-", "running, another game selected"},
      {Phase::Running, "SHLG", "-+-", "running, the service gone"},
      {Phase::Stopping, "SRHAG", "---", "stopping"},
      {Phase::RollingBack, "SRH", "---", "rolling back"},
      {Phase::Switching, "SRG", "---", "switching nodes"},
      {Phase::Idle, "SRH", "-+-", "a session left held after its deletion failed"},
      {Phase::Idle, "SRA", "-+-", "the service accelerates for an earlier run"},
      {Phase::Idle, "SRG", "+--", "stopped: the launch goes with the tunnel"},
  };
  for (const auto& row : rows) {
    const QString f = row.facts;
    const zv::Controls c = zv::ControlsFor({row.phase, f.contains('S'), f.contains('R'), f.contains('H'), f.contains('A'),
                                            f.contains('L'), f.contains('G')});
    EXPECT_EQ(QString(c.start ? "+" : "-") + (c.stop ? "+" : "-") + (c.launch ? "+" : "-"), row.actions) << row.why;
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

TEST(Mode, IsWhatTheRequestAsksForAndSaidSo) {
  const std::pair<QJsonObject, QString> rows[] = {
      {{{"route_mode", "process-beta"}, {"rules_environment", "global-fallback"}}, "正在加速 · 智能分流 Beta（仅游戏流量）"},
      {{{"rules_environment", "global-fallback"}}, "正在加速 · 全局模式（全部 IPv4 流量经香港）"},
      {{{"rules_environment", "Global-Fallback"}}, "正在加速 · 游戏分流模式"},
  };
  for (const auto& [request, text] : rows) EXPECT_EQ(zv::ModeText(zv::ModeOf(request)), text);
  // Where a whole tunnel hides the game's traffic (Windows), the card says that only the node is measured.
  const QString nodeOnly = "当前模式仅测量到加速节点的延迟";
  EXPECT_EQ(std::tuple(zv::GainLine("x", "global", false), zv::GainLine("x", "game", false), zv::GainLine("x", "game", true),
                       zv::GainLine("x", "process-beta", false)),
            std::tuple(nodeOnly, nodeOnly, "x", "x"));
}

QByteArray Repairing(int repairMs, const char* reason) {
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
Answer Busy() { return {false, "", "本地加速服务正忙，请稍后再试"}; }
const QString kBroken = "线路中断：节点无响应";

TEST(PathVerdict, EachAnswerHasItsWordsAndLook) {
  const struct {
    Answer answer;
    int loss;  // the client's own figure
    PathHealth health;
    QString line, status, tray;
    const char* level;
    bool broken = false, tunnelLost = false;
  } rows[] = {
      {{true, kHealthyPath}, 0, PathHealth::Good, "延迟 23 ms · 丢包 0%", "", "延迟 23 ms", "good"},
      {{true, Up(60000, 0, 0, 90, 90, 30000)}, 0, PathHealth::Good, "延迟 <1 ms · 丢包 0%", "", "延迟 <1 ms", "good"},
      // The loss shown is the client's, not the service's ten echoes, which may span an outage.
      {{true, Up(60000, 41, 90, 900, 900, 30000)}, 20, PathHealth::Poor, "延迟 41 ms · 丢包 20%", "", "延迟 41 ms", "poor"},
      {{true, Up(60000, 150, 0, 100, 100, 30000)}, 0, PathHealth::Poor, "延迟 150 ms · 丢包 0%", "", "延迟 150 ms", "poor"},
      {{true, Up(2000, -1, 0, 2000, -1, -1)}, 0, PathHealth::Connecting, "正在连接节点…", "", "正在连接节点", "unknown"},
      {{true, Up(6000, -1, 100, 6000, -1, -1)}, 0, PathHealth::NoHandshake, "无法连接节点：6 秒内没有握手", kBroken,
       "线路中断", "broken", true},
      {{true, Up(2000, -1, 100, 2000, 1900, 1950)}, 0, PathHealth::Measuring, "正在测量延迟…", "", "正在测量延迟", "good"},
      // Missing echoes alone never say broken: only a tunnel silent past the node's keepalive does.
      {{true, Up(40000, -1, 100, 40000, 6000, 35000)}, 0, PathHealth::LatencyUnknown, "延迟未知：节点未回应测速", "",
       "延迟未知", "unknown"},
      {{true, Up(60000, 23, 30, 11000, 11000, 30000)}, 0, PathHealth::LatencyUnknown, "延迟未知：节点未回应测速", "",
       "延迟未知", "unknown"},
      {{true, Up(60000, 23, 30, 12000, 12000, 30000)}, 0, PathHealth::NodeSilent, "线路中断：节点已 12 秒无响应", kBroken,
       "线路中断", "broken", true},
      {{true, Quality(R"("probes":5,"rtt_ms":23,"loss_percent":0,"silent_ms":13200)")}, 0, PathHealth::NodeSilent,
       "线路中断：节点已 13 秒无响应", kBroken, "线路中断", "broken", true},  // an older service: echoes alone
      {{true, Repairing(12500, "adapter_gone")}, 0, PathHealth::Repairing, "线路中断，正在自动重连（12 秒） · 隧道网卡已消失",
       "线路中断，正在自动重连（12 秒） · 隧道网卡已消失", "线路中断，正在重连", "broken", true},
      {{true, Repairing(2000, "rules_gone")}, 0, PathHealth::Repairing, "线路中断，正在自动重连（2 秒） · 路由规则被其他程序移除",
       "线路中断，正在自动重连（2 秒） · 路由规则被其他程序移除", "线路中断，正在重连", "broken", true},
      {{true, Repairing(3000, "no_path")}, 0, PathHealth::Repairing, "线路中断，正在自动重连（3 秒） · 没有通往节点的网络",
       "线路中断，正在自动重连（3 秒） · 没有通往节点的网络", "线路中断，正在重连", "broken", true},
      {{true, Repairing(1000, "create_adapter_failed_2")}, 0, PathHealth::Repairing,
       "线路中断，正在自动重连（1 秒） · 重建失败（create_adapter_failed_2）",
       "线路中断，正在自动重连（1 秒） · 重建失败（create_adapter_failed_2）", "线路中断，正在重连", "broken", true},
      {{true, R"({"state":"idle"})"}, 0, PathHealth::ServiceIdle, "本地加速服务已重新启动",
       "本地加速服务已重新启动，正在恢复加速…", "正在恢复加速", "broken", false, true},
      {Gone(), 0, PathHealth::ServiceGone, "本地加速服务已停止", "本地加速服务已停止，等待它恢复…", "本地加速服务已停止",
       "broken", true, true},
      {{false, R"({"error":"unknown_operation"})", "服务拒绝了请求"}, 0, PathHealth::NoFigures, "", "", "", "good"},
      {{false, R"({"error":"boom"})", "服务拒绝了请求"}, 0, PathHealth::Unreadable, "无法读取线路质量：服务拒绝了请求", "",
       "线路质量未知", "poor"},
  };
  for (const auto& row : rows) {
    const zv::PathVerdict v = zv::Judge(zv::ReadPath(row.answer.ok, row.answer.reply, row.answer.error), row.loss);
    EXPECT_EQ(std::tuple(v.health, v.line, v.status, v.tray, QString(v.level), v.broken, v.tunnelLost),
              std::tuple(row.health, row.line, row.status, row.tray, QString(row.level), row.broken, row.tunnelLost))
        << row.answer.reply.toStdString();
  }
}

// What the route card says of the game's server, and where a broken path breaks: the hop with its next
// step in the status line and the tray, loud only for our own path.
TEST(PathVerdict, SaysTheGainAndNamesTheHop) {
  const QByteArray server = R"("game_address":"203.0.113.7","game_probe":"icmp",)", silent = Up(60000, 23, 0, 12500, 12500, 30000);
  const QString unmeasured = "游戏服务器 203.0.113.7：直连延迟无法测量", local = "本机网络已断开 · 请检查网线或 Wi-Fi，恢复后自动重连";
  const QString node = "加速节点无响应 · 请稍候，正在自动重试或切换节点";
  const struct {
    QByteArray answer;
    QString gain;
    const char* gainLevel;
    QString status = {}, tray = {};
    bool broken = false, gameSilent = false;
  } rows[] = {
      {With(kHealthyPath, server + R"("game_direct_ms":86,"game_tunnel_ms":41)"), "游戏服务器 203.0.113.7：直连 86 ms → 加速 41 ms（快 45 ms）",
       "faster", "", "延迟 23 ms"},
      {With(kHealthyPath, server + R"("game_direct_ms":44,"game_tunnel_ms":41)"), "游戏服务器 203.0.113.7：直连 44 ms → 加速 41 ms（快 3 ms）",
       "faster", "", "延迟 23 ms"},
      {With(kHealthyPath, server + R"("game_direct_ms":43,"game_tunnel_ms":41)"), "加速未降低延迟（直连 43 ms，加速 41 ms）", "plain", "", "延迟 23 ms"},
      {With(kHealthyPath, server + R"("game_direct_ms":40,"game_tunnel_ms":52)"), "加速未降低延迟（直连 40 ms，加速 52 ms）", "plain", "", "延迟 23 ms"},
      {With(kHealthyPath, server + R"("game_tunnel_ms":0)"), "游戏服务器 203.0.113.7：加速 <1 ms · 直连延迟无法测量", "unknown", "", "延迟 23 ms"},
      {With(kHealthyPath, server + R"("game_direct_ms":61)"), "游戏服务器 203.0.113.7：直连 61 ms · 加速延迟无法测量", "unknown", "", "延迟 23 ms"},
      {With(kHealthyPath, R"("game_address":"203.0.113.7","game_probe":"none","uplink":"up")"), unmeasured, "unknown", "", "延迟 23 ms"},
      {With(kHealthyPath, R"("game_probe":"none","node_direct_ms":4,"uplink":"up")"), "游戏服务器：等待游戏连接服务器后测量",
       "unknown", "", "延迟 23 ms"},
      // Once answered, now silent both ways while the node is heard: the game's server, in amber, not loud.
      {With(kHealthyPath, server + R"("uplink":"up")"), unmeasured, "unknown", "游戏服务器无响应 · 直连也不通，请查看游戏公告或稍后再试",
       "游戏服务器无响应", false, true},
      {With(silent, server + R"("uplink":"up")"), unmeasured, "unknown", node, "加速节点无响应", true},
      {With(silent, R"("node_direct_ms":0,"uplink":"up")"), "", "unknown", "加速节点无响应 · 节点主机可达 · 请稍候，正在自动重试或切换节点",
       "加速节点无响应", true},
      {With(Up(6000, -1, 100, 6000, -1, -1), R"("node_direct_ms":0,"uplink":"down")"), "", "unknown", local, "本机网络已断开", true},
      {With(Repairing(9000, "no_path"), R"("uplink":"down")"), "", "unknown", local, "本机网络已断开", true},
      {With(Repairing(9000, "adapter_gone"), R"("uplink":"up")"), "", "unknown", "线路中断，正在自动重连（9 秒） · 隧道网卡已消失",
       "线路中断，正在重连", true},
  };
  for (const auto& row : rows) {
    const zv::PathVerdict v = zv::Judge(zv::ReadPath(true, row.answer, ""), 0);
    EXPECT_EQ(std::tuple(v.gain, QString(v.gainLevel), v.status, v.tray, v.broken, v.gameSilent),
              std::tuple(row.gain, QString(row.gainLevel), row.status, row.tray, row.broken, row.gameSilent))
        << row.answer.toStdString();
  }
}

// The graph's second, thin line: the direct figure (80 ms), drawn above the tunnel's (20 ms).
TEST(PathGraph, DrawsTheDirectFigureAsASecondLine) {
  zv::PathHistory history;
  for (int i = 0; i < 90; ++i) history.Add({zv::PathSample::Kind::Answered, 20, 80});
  PathGraph graph(history);
  graph.resize(360, 76);
  const QImage image = graph.grab().toImage();
  int blue = 0, green = 0, blueY = 0, greenY = 0;
  for (int i = 0; i < image.width() * image.height(); ++i) {
    const QColor c = image.pixelColor(i % image.width(), i / image.width());
    if (c.blue() - c.red() > 100 && c.blue() - c.green() > 60) ++blue, blueY += i / image.width();
    if (c.green() - c.red() > 100 && c.green() - c.blue() > 40) ++green, greenY += i / image.width();
  }
  ASSERT_GT(blue, 100);
  EXPECT_LT(blueY / blue, greenY / std::max(green, 1)) << "80 ms above 20 ms";
}

// One acceleration's answers over time, each row one poll: what the status
// line says (empty: the acceleration's own text), what the window must do.
TEST(PathWatch, ProvesReplacesAndResends) {
  const QJsonArray nodes{QJsonObject{{"id", "n1"}, {"name", "A"}}, QJsonObject{{"id", "n2"}, {"name", "B"}},
                         QJsonObject{{"id", "n3"}, {"name", "C"}}};
  const QString noneLeft = "无法连接加速节点，且没有其他可用节点；正在继续重试";
  const QString toB = "节点 A 无响应，已切换到 B，正在连接…", toC = "节点 B 无响应，已切换到 C，正在连接…";
  const struct {
    qint64 at;
    Answer answer;
    PathHealth health;
    QString status;
    QString line = {};  // when it matters
    Action action = Action::None;
    bool alarm = false;
  } timeline[] = {
      {0, {true, Up(900, -1, 0, 900, -1, -1)}, PathHealth::Connecting, "正在连接加速节点 A…"},
      // A node that has not answered its first handshake is left for the next offered one.
      {2500, {true, Up(2500, -1, 100, 2500, -1, -1)}, PathHealth::Connecting, toB, "", Action::SwitchNode},
      {3000, {true, Up(300, -1, 0, 300, -1, -1)}, PathHealth::Connecting, toB},
      {3500, {true, Up(800, -1, 0, 800, 700, 750)}, PathHealth::Measuring, ""},  // proven: said no longer
      // The first echo back is one the handshake held up: dropped, not a spike.
      {4000, {true, Up(1300, 519, 50, 300, 300, 1250)}, PathHealth::Poor, "", "延迟 519 ms · 丢包 0%"},
      {5000, {true, With(kHealthyPath, R"("game_direct_ms":61)")}, PathHealth::Good, "", "延迟 23 ms · 丢包 0%"},
      {6000, {true, Up(60000, 23, 10, 1600, 1600, 30000)}, PathHealth::Poor, "", "延迟 23 ms · 丢包 50%"},
      {9000, {true, Up(60000, 23, 40, 12500, 12500, 30000)}, PathHealth::NodeSilent, kBroken, "", Action::None, true},
      {10000, Busy(), PathHealth::NodeSilent, kBroken, "本地加速服务正忙，线路质量稍后更新"},  // nothing new: no second alarm
      {11000, {true, Up(60000, 23, 20, 13500, 13500, 30000)}, PathHealth::NodeSilent, kBroken},  // said once, not again
      {12000, {true, Up(60000, 23, 90, 500, 500, 30000)}, PathHealth::Good, "", "延迟 23 ms · 丢包 0%"},  // figures restart
      {13000, {true, Repairing(500, "no_path")}, PathHealth::Repairing, "线路中断，正在自动重连（0 秒） · 没有通往节点的网络",
       "", Action::None, true},
      {21000, {true, Repairing(8500, "no_path")}, PathHealth::Repairing, "线路中断，正在自动重连（8 秒） · 没有通往节点的网络"},
      // Without the machine's own path no other node would answer: none is tried.
      {39000, {true, With(Up(90000, -1, 100, 15000, 15000, 60000), R"("uplink":"down")")}, PathHealth::NodeSilent,
       "本机网络已断开 · 请检查网线或 Wi-Fi，恢复后自动重连"},
      // A running node silent past the bound goes too, each node once; then none is left to try.
      {40000, {true, Up(90000, -1, 100, 15000, 15000, 60000)}, PathHealth::Connecting, toC, "", Action::SwitchNode},
      {41000, {true, Up(5000, -1, 100, 5000, -1, -1)}, PathHealth::Connecting, toC},
      {42000, {true, Up(6000, -1, 100, 6000, -1, -1)}, PathHealth::NoHandshake, noneLeft, "", Action::None, true},
      {43000, {true, kHealthyPath}, PathHealth::Good, ""},
      // A later outage says it ran out of nodes only once it has, not from its start.
      {55000, {true, Up(60000, 23, 100, 12000, 12000, 30000)}, PathHealth::NodeSilent, kBroken, "", Action::None, true},
      {58000, {true, Up(60000, 23, 100, 15000, 15000, 30000)}, PathHealth::NodeSilent, noneLeft},
      {59000, {true, kHealthyPath}, PathHealth::Good, ""},
      // One refused connection may be a service between two runs; two in a row, a stopped service.
      {60000, Gone(), PathHealth::Unreadable, ""},
      {61000, Gone(), PathHealth::ServiceGone, "本地加速服务已停止，等待它恢复…", "", Action::None, true},
      // Back without our tunnel: given the session at once, then every 5 s while it will not take it.
      {62000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, "本地加速服务已重新启动，正在恢复加速…", "", Action::Resend},
      {63000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, "本地加速服务已重新启动，正在恢复加速…"},
      {67000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, "本地加速服务已重新启动，正在恢复加速…", "", Action::Resend},
      {68000, {true, Up(900, -1, 0, 900, -1, -1)}, PathHealth::Connecting, "正在连接加速节点 C…"},
      {69000, {true, R"({"state":"idle"})"}, PathHealth::ServiceIdle, "本地加速服务已重新启动，正在恢复加速…", "", Action::Resend},
  };
  zv::PathWatch watch;
  watch.Begin(nodes);
  for (const auto& row : timeline) {
    const zv::PathTurn turn = watch.Take(row.answer.ok, row.answer.reply, row.answer.error, row.at);
    EXPECT_EQ(std::tuple(turn.verdict.health, turn.verdict.status, turn.action, turn.alarm),
              std::tuple(row.health, row.status, row.action, row.alarm)) << row.at;
    if (!row.line.isEmpty()) {
      EXPECT_EQ(turn.verdict.line, row.line) << row.at;
    }
  }
  EXPECT_EQ(watch.Node().value("id"), "n3");
  EXPECT_EQ(watch.History().Stats().maxMs, 23) << "the echo held up by the handshake is no figure";
  const auto& samples = watch.History().Samples();
  EXPECT_EQ(std::count_if(samples.begin(), samples.end(), [](auto s) { return s.directMs == 61; }), 1) << "the direct figure kept";
  zv::PathWatch takenUp;  // an acceleration taken up on its second node: the first was given up before
  takenUp.Begin(nodes, "n2");
  EXPECT_EQ(takenUp.Connecting().status, "正在连接加速节点 B…");
  EXPECT_EQ(takenUp.Take(true, Up(2500, -1, 0, 2500, -1, -1), "", 0).node.value("id"), "n3");
}

TEST(PathHistory, SamplesAddUpToTheFiguresShown) {
  using Kind = zv::PathSample::Kind;
  const struct {
    std::vector<zv::PathSample> samples;
    QString summary, range;
    int recentLoss;
  } rows[] = {
      {{}, "暂无延迟数据", "", 0},
      {{{Kind::Gap}, {Kind::Lost}}, "暂无延迟数据", "", 100},
      {{{Kind::Answered, 0}}, "最低 <1 · 平均 <1 · 最高 <1 ms · 抖动 <1 ms · 丢包 0%", "最低/平均/最高 <1/<1/<1 ms", 0},
      // Jitter is the mean change from one answer to the next, gaps and losses skipped; the
      // line's loss counts back to the last gap only.
      {{{Kind::Answered, 20}, {Kind::Lost}, {Kind::Gap}, {Kind::Answered, 30}, {Kind::Lost}, {Kind::Answered, 22}},
       "最低 20 · 平均 24 · 最高 30 ms · 抖动 9 ms · 丢包 40%", "最低/平均/最高 20/24/30 ms", 33},
  };
  for (const auto& row : rows) {
    zv::PathHistory history;
    for (const auto& sample : row.samples) history.Add(sample);
    EXPECT_EQ(std::tuple(zv::SummaryText(history.Stats()), zv::RangeText(history.Stats()), history.RecentLossPercent()),
              std::tuple(row.summary, row.range, row.recentLoss));
  }
  zv::PathHistory full;
  full.Add({Kind::Answered, 999});
  for (std::size_t i = 0; i < zv::PathHistory::kSamples; ++i) full.Add({Kind::Answered, 10});
  EXPECT_EQ(full.Stats().maxMs, 10) << "only the last three minutes count";
  EXPECT_EQ(full.Samples().size(), zv::PathHistory::kSamples);
}

}  // namespace

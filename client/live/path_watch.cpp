#include "path_watch.h"

#include <QJsonDocument>
#include <limits>
#include <utility>

#include "control_client.h"
#include "window_rules.h"

namespace zv {
namespace {

constexpr int kSlowRoundTripMs = 150;
constexpr int kEchoAnsweredMs = 1500;  // the last second's echo came back

QString ReasonText(const QString& reason) {
  if (reason == "adapter_gone") return Tr("隧道网卡已消失");
  if (reason == "no_path") return Tr("没有通往节点的网络");
  if (reason == "rules_gone") return Tr("路由规则被其他程序移除");
  return Tr("重建失败（%1）").arg(reason);
}

bool Proven(const PathReading& reading) { return reading.kind == PathReading::Kind::Up && reading.handshakeMs >= 0; }

// Echoes count while the path is proven: a round trip when the last second's came back, else a loss.
// The direct figure to the game's server goes with every second, the tunnel's state aside.
PathSample SampleOf(const PathReading& reading) {
  using Kind = PathSample::Kind;
  if (!Proven(reading) || reading.rttMs < 0 || reading.silentMs >= kEchoesMissedMs) return {Kind::Gap, 0, reading.gameDirectMs};
  if (reading.silentMs < kEchoAnsweredMs) return {Kind::Answered, reading.rttMs, reading.gameDirectMs};
  return {Kind::Lost, 0, reading.gameDirectMs};
}

// The game's server has answered a probe before, and now answers neither way.
bool GameSilent(const PathReading& reading) {
  return !reading.gameAddress.isEmpty() && (reading.gameProbe == "icmp" || reading.gameProbe == "tcp") &&
         reading.gameDirectMs < 0 && reading.gameTunnelMs < 0;
}

// A path judged broken says which hop broke, once the service tells the machine's own path; a
// silent game server on a heard node is told too, without the loud signs of a broken path.
void NameTheHop(const PathReading& reading, PathVerdict& verdict) {
  using H = PathHealth;
  const bool tunnelSilent = verdict.health == H::NodeSilent || verdict.health == H::NoHandshake;
  if (reading.uplink == PathReading::Uplink::Down && (tunnelSilent || verdict.health == H::Repairing)) {
    verdict.status = Tr("本机网络已断开") + " · " + Tr("请检查网线或 Wi-Fi，恢复后自动重连");
    verdict.tray = Tr("本机网络已断开");
  } else if (reading.uplink == PathReading::Uplink::Up && tunnelSilent) {
    verdict.status = Tr("加速节点无响应") + (reading.nodeDirectMs >= 0 ? " · " + Tr("节点主机可达") : QString()) +
                     " · " + Tr("请稍候，正在自动重试或切换节点");
    verdict.tray = Tr("加速节点无响应");
  } else if ((verdict.health == H::Good || verdict.health == H::Poor || verdict.health == H::LatencyUnknown) &&
             GameSilent(reading)) {
    verdict.status = Tr("游戏服务器无响应") + " · " + Tr("直连也不通，请查看游戏公告或稍后再试");
    verdict.tray = Tr("游戏服务器无响应");
    verdict.gameSilent = true;
  }
}

// The route card's line: the game's server, directly and through the tunnel; never a figure not measured.
void SayTheGain(const PathReading& reading, PathVerdict& verdict) {
  const int direct = reading.gameDirectMs, tunnel = reading.gameTunnelMs;
  if (reading.gameAddress.isEmpty()) {
    // A service that measures the gain says "none" until the game has talked: said so, never guessed.
    if (!reading.gameProbe.isEmpty()) verdict.gain = Tr("游戏服务器：等待游戏连接服务器后测量");
    return;
  }
  const QString server = Tr("游戏服务器 %1：").arg(reading.gameAddress);
  if (direct >= 0 && tunnel >= 0 && direct - tunnel > kSameWithinMs) {
    verdict.gain = Tr("游戏服务器 %1：直连 %2 ms → 加速 %3 ms（快 %4 ms）")
                       .arg(reading.gameAddress, Ms(direct), Ms(tunnel), QString::number(direct - tunnel));
    verdict.gainLevel = "faster";
  } else if (direct >= 0 && tunnel >= 0) {
    verdict.gain = Tr("加速未降低延迟（直连 %1 ms，加速 %2 ms）").arg(Ms(direct), Ms(tunnel));
    verdict.gainLevel = "plain";
  } else if (tunnel >= 0) {
    verdict.gain = server + Tr("加速 %1 ms").arg(Ms(tunnel)) + " · " + Tr("直连延迟无法测量");
  } else if (direct >= 0) {
    verdict.gain = server + Tr("直连 %1 ms").arg(Ms(direct)) + " · " + Tr("加速延迟无法测量");
  } else {
    verdict.gain = server + Tr("直连延迟无法测量");
  }
}

}  // namespace

PathReading ReadPath(bool ok, const QString& replyText, const QString& errorText) {
  using Kind = PathReading::Kind;
  PathReading reading;
  if (!ok) {
    reading.kind = errorText == kServiceNotRunning                               ? Kind::ServiceGone
                   : errorText == kServiceBusy                                   ? Kind::Busy
                   : replyText.contains(QStringLiteral("\"unknown_operation\"")) ? Kind::NoFigures
                                                                                 : Kind::Unreadable;
    reading.reason = errorText;
    return reading;
  }
  const QJsonObject answer = QJsonDocument::fromJson(replyText.toUtf8()).object();
  const QString state = answer.value("state").toString();
  if (state != "accelerating") {
    reading.kind = state == "idle" ? Kind::Idle : Kind::Unreadable;
    reading.reason = replyText;
    return reading;
  }
  const auto number = [&](const char* name, int absent) { return answer.value(name).toInt(absent); };
  reading.reason = answer.value("reason").toString();
  reading.gameAddress = answer.value("game_address").toString();
  reading.gameProbe = answer.value("game_probe").toString();
  reading.gameDirectMs = number("game_direct_ms", -1);
  reading.gameTunnelMs = number("game_tunnel_ms", -1);
  reading.nodeDirectMs = number("node_direct_ms", -1);
  const QString uplink = answer.value("uplink").toString();
  reading.uplink = uplink == "up"     ? PathReading::Uplink::Up
                   : uplink == "down" ? PathReading::Uplink::Down
                                      : PathReading::Uplink::Unknown;
  if (answer.value("path").toString() == "repairing") {
    reading.kind = Kind::Repairing;
    reading.repairMs = number("repair_ms", 0);
    return reading;
  }
  reading.kind = Kind::Up;
  reading.rttMs = number("rtt_ms", -1);
  reading.lossPercent = number("loss_percent", 0);
  reading.silentMs = number("silent_ms", 0);
  // A service of the round before tells only the echoes: judged by them alone.
  reading.upMs = number("up_ms", std::numeric_limits<int>::max());
  reading.heardMs = number("heard_ms", reading.silentMs);
  reading.handshakeMs = number("handshake_ms", 0);
  reading.gameBeforeStart = answer.value("game_before_start").toBool();
  return reading;
}

namespace {

PathVerdict JudgeThePath(const PathReading& reading, int lossPercent) {
  using Kind = PathReading::Kind;
  using H = PathHealth;
  switch (reading.kind) {
    case Kind::ServiceGone:
      return {H::ServiceGone, Tr("本地加速服务已停止"), Tr("本地加速服务已停止，等待它恢复…"), Tr("本地加速服务已停止"),
              "broken", true, true};
    case Kind::Idle:
      return {H::ServiceIdle, Tr("本地加速服务已重新启动"), Tr("本地加速服务已重新启动，正在恢复加速…"),
              Tr("正在恢复加速"), "broken", false, true};
    case Kind::NoFigures:
      return {.health = H::NoFigures};
    case Kind::Busy:
    case Kind::Unreadable:
      return {H::Unreadable, Tr("无法读取线路质量：%1").arg(reading.reason), {}, Tr("线路质量未知"), "poor"};
    case Kind::Repairing: {
      QString line = Tr("线路中断，正在自动重连（%1 秒）").arg(reading.repairMs / 1000);
      if (!reading.reason.isEmpty()) line += " · " + ReasonText(reading.reason);
      return {H::Repairing, line, line, Tr("线路中断，正在重连"), "broken", true};
    }
    case Kind::Up:
      break;
  }
  if (reading.handshakeMs < 0) {
    if (reading.upMs < kFirstHandshakeMs) return {H::Connecting, Tr("正在连接节点…"), {}, Tr("正在连接节点"), "unknown"};
    return {H::NoHandshake, Tr("无法连接节点：%1 秒内没有握手").arg(reading.upMs / 1000), Tr("线路中断：节点无响应"),
            Tr("线路中断"), "broken", true};
  }
  if (reading.rttMs >= 0 && reading.silentMs < kEchoesMissedMs) {
    const bool poor = lossPercent > 0 || reading.rttMs >= kSlowRoundTripMs;
    return {poor ? H::Poor : H::Good, Tr("延迟 %1 ms · 丢包 %2%").arg(Ms(reading.rttMs)).arg(lossPercent), {},
            Tr("延迟 %1 ms").arg(Ms(reading.rttMs)), poor ? "poor" : "good"};
  }
  // Missing echoes alone say nothing: a node need not answer them. Only a tunnel
  // that brought nothing back for longer than the node's keepalive is silent.
  const int heard = reading.heardMs >= 0 ? reading.heardMs : reading.upMs;
  if (heard >= kKeepaliveAnswerMs) {
    return {H::NodeSilent, Tr("线路中断：节点已 %1 秒无响应").arg(heard / 1000), Tr("线路中断：节点无响应"),
            Tr("线路中断"), "broken", true};
  }
  if (reading.rttMs < 0 && reading.upMs < kEchoesMissedMs) {
    return {H::Measuring, Tr("正在测量延迟…"), {}, Tr("正在测量延迟")};
  }
  return {H::LatencyUnknown, Tr("延迟未知：节点未回应测速"), {}, Tr("延迟未知"), "unknown"};
}

}  // namespace

PathVerdict Judge(const PathReading& reading, int lossPercent) {
  PathVerdict verdict = JudgeThePath(reading, lossPercent);
  NameTheHop(reading, verdict);
  SayTheGain(reading, verdict);
  return verdict;
}

void PathWatch::Begin(const QJsonArray& offeredNodes, const QString& currentId) {
  *this = PathWatch();
  offered = offeredNodes;
  for (const QJsonValue& node : offered) {
    current = node.toObject();
    if (currentId.isEmpty() || current.value("id").toString() == currentId) break;
    tried << current.value("id").toString();
  }
  last = Connecting();
}

PathVerdict PathWatch::Connecting() const {
  const QString status =
      switchNote.isEmpty() ? Tr("正在连接加速节点 %1…").arg(current.value("name").toString()) : switchNote;
  return {PathHealth::Connecting, Tr("正在连接节点…"), status, Tr("正在连接节点"), "unknown"};
}

bool PathWatch::NodeUnresponsive(const PathReading& reading) const {
  // Without a path of its own the machine reaches no node: another would not answer either.
  if (reading.kind != PathReading::Kind::Up || reading.uplink == PathReading::Uplink::Down) return false;
  if (reading.handshakeMs < 0) return reading.upMs >= (NextNode() ? kNextNodeWithoutHandshakeMs : kFirstHandshakeMs);
  return (reading.heardMs >= 0 ? reading.heardMs : reading.upMs) >= kNodeSilentMs;
}

std::optional<QJsonObject> PathWatch::NextNode() const {
  for (const QJsonValue& node : offered) {
    const QString id = node.toObject().value("id").toString();
    if (!tried.contains(id) && id != current.value("id").toString()) return node.toObject();
  }
  return std::nullopt;
}

PathTurn PathWatch::Take(bool ok, const QString& replyText, const QString& errorText, qint64 nowMs, bool mayReplace) {
  PathReading reading = ReadPath(ok, replyText, errorText);
  PathTurn turn;
  // A busy service tells nothing new: what was said stands, with a word that the figures wait.
  if (reading.kind == PathReading::Kind::Busy) {
    turn.verdict = last;
    turn.verdict.line = Tr("本地加速服务正忙，线路质量稍后更新");
    turn.verdict.level = "poor";
    return turn;
  }
  // A refused connection may be a service between two runs; a stopped one refuses every one.
  if (reading.kind != PathReading::Kind::ServiceGone) failedConnections = 0;
  else if (++failedConnections < kServiceGoneAfter) reading.kind = PathReading::Kind::Unreadable;

  PathSample sample = SampleOf(reading);
  // The first echo answered after the path came back was sent, or held up, while it was down.
  if (sample.kind == PathSample::Kind::Answered && std::exchange(down, false)) sample.kind = PathSample::Kind::Gap;
  history.Add(sample);
  turn.verdict = Judge(reading, history.RecentLossPercent());
  const PathHealth health = turn.verdict.health;
  if (turn.verdict.broken || health == PathHealth::Connecting || health == PathHealth::ServiceIdle) down = true;
  if (Proven(reading)) switchNote.clear();
  if (health == PathHealth::Good || health == PathHealth::Poor || health == PathHealth::Measuring ||
      health == PathHealth::LatencyUnknown) {
    noneLeft = false;  // alive again: a later outage has all its nodes to try
  }
  if (mayReplace && NodeUnresponsive(reading)) {
    const QString from = current.value("name").toString();
    tried << current.value("id").toString();
    if (const auto next = NextNode()) {
      current = *next;
      switchNote = Tr("节点 %1 无响应，已切换到 %2，正在连接…").arg(from, next->value("name").toString());
      turn.verdict = last = Connecting();
      turn.action = PathTurn::Action::SwitchNode;
      turn.node = *next;
      broken = false;  // a new tunnel comes; the switch says so itself
      down = true;
      gameNoticeDue = false;
      return turn;
    }
    noneLeft = true;
  }
  if (health == PathHealth::Connecting) turn.verdict = Connecting();
  if (noneLeft && reading.uplink != PathReading::Uplink::Down &&
      (health == PathHealth::NodeSilent || health == PathHealth::NoHandshake)) {
    turn.verdict.status = Tr("无法连接加速节点，且没有其他可用节点；正在继续重试");
  }
  if (reading.kind != PathReading::Kind::Idle) {
    lastResend.reset();
  } else if (!lastResend || nowMs - *lastResend >= kResendEveryMs) {
    lastResend = nowMs;
    turn.action = PathTurn::Action::Resend;
    gameNoticeDue = false;
  }
  turn.alarm = turn.verdict.broken && !broken;
  broken = turn.verdict.broken;
  if (reading.gameBeforeStart && gameNoticeDue) turn.gameNotice = true, gameNoticeDue = false;
  last = turn.verdict;
  return turn;
}

}  // namespace zv

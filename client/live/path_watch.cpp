#include "path_watch.h"

#include <QJsonDocument>
#include <limits>

#include "control_client.h"
#include "window_rules.h"

namespace zv {
namespace {

constexpr int kSlowRoundTripMs = 150;
constexpr int kEchoAnsweredMs = 1500;  // the last second's echo came back
// What came after the last echo answer shows the tunnel alive although echoes go unanswered.
constexpr int kHeardAfterEchoMs = 2000;

QString ReasonText(const QString& reason) {
  if (reason == "adapter_gone") return Tr("隧道网卡已消失");
  if (reason == "no_path") return Tr("没有通往节点的网络");
  if (reason == "rules_gone") return Tr("路由规则被其他程序移除");
  return Tr("重建失败（%1）").arg(reason);
}

PathSample SampleOf(const PathReading& reading, const PathVerdict& verdict) {
  switch (verdict.health) {
    case PathHealth::Good:
    case PathHealth::Poor:
      if (reading.silentMs < kEchoAnsweredMs) return {PathSample::Kind::Answered, reading.rttMs};
      return {PathSample::Kind::Lost};
    case PathHealth::NodeSilent:
    case PathHealth::NoHandshake:
      return {PathSample::Kind::Lost};
    default:
      return {PathSample::Kind::Gap};
  }
}

}  // namespace

PathReading ReadPath(bool ok, const QString& replyText, const QString& errorText) {
  using Kind = PathReading::Kind;
  PathReading reading;
  if (!ok) {
    reading.kind = errorText == kServiceNotRunning                       ? Kind::ServiceGone
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

PathVerdict Judge(const PathReading& reading) {
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
  if (reading.rttMs >= 0 && reading.silentMs < kEchoesMissedMs) {
    const QString roundTrip = reading.rttMs == 0 ? QStringLiteral("<1") : QString::number(reading.rttMs);
    const bool poor = reading.lossPercent > 0 || reading.rttMs >= kSlowRoundTripMs;
    return {poor ? H::Poor : H::Good, Tr("延迟 %1 ms · 丢包 %2%").arg(roundTrip).arg(reading.lossPercent), {},
            Tr("延迟 %1 ms").arg(roundTrip), poor ? "poor" : "good"};
  }
  if (reading.handshakeMs < 0) {
    if (reading.upMs < kFirstHandshakeMs) return {H::Connecting, Tr("正在连接节点…"), {}, Tr("正在连接节点")};
    return {H::NoHandshake, Tr("无法连接节点：%1 秒内没有握手").arg(reading.upMs / 1000), Tr("线路中断：节点无响应"),
            Tr("线路中断"), "broken", true};
  }
  // A node need not answer echoes: the tunnel is alive while anything else still comes from it.
  if (reading.heardMs >= 0 && reading.heardMs < kKeepaliveAnswerMs &&
      reading.heardMs + kHeardAfterEchoMs <= reading.silentMs) {
    return {H::LatencyUnknown, Tr("延迟未知：节点不回应测速，隧道畅通"), {}, Tr("延迟未知"), "unknown"};
  }
  if (reading.rttMs < 0 && reading.upMs < kKeepaliveAnswerMs) {
    return {H::Measuring, Tr("正在测量延迟…"), {}, Tr("正在测量延迟")};
  }
  const int silentFor = reading.heardMs >= 0 ? reading.heardMs : reading.upMs;
  return {H::NodeSilent, Tr("线路中断：节点已 %1 秒无响应").arg(silentFor / 1000), Tr("线路中断：节点无响应"),
          Tr("线路中断"), "broken", true};
}

void PathWatch::Begin(const QJsonArray& offeredNodes) {
  *this = PathWatch();
  offered = offeredNodes;
  current = offered.isEmpty() ? QJsonObject() : offered.first().toObject();
}

bool PathWatch::NodeUnresponsive(const PathReading& reading) const {
  if (reading.kind != PathReading::Kind::Up) return false;
  if (reading.handshakeMs < 0) return reading.upMs >= kFirstHandshakeMs;
  return (reading.heardMs >= 0 ? reading.heardMs : reading.upMs) >= kNodeSilentMs;
}

std::optional<QJsonObject> PathWatch::NextNode() const {
  for (const QJsonValue& node : offered) {
    const QString id = node.toObject().value("id").toString();
    if (!tried.contains(id) && id != current.value("id").toString()) return node.toObject();
  }
  return std::nullopt;
}

PathTurn PathWatch::Take(bool ok, const QString& replyText, const QString& errorText, qint64 nowMs) {
  PathReading reading = ReadPath(ok, replyText, errorText);
  // One refused connection may be a busy channel; a stopped service refuses every one.
  if (reading.kind != PathReading::Kind::ServiceGone) failedConnections = 0;
  else if (++failedConnections < kServiceGoneAfter) reading.kind = PathReading::Kind::Unreadable;

  PathTurn turn;
  turn.verdict = Judge(reading);
  turn.sample = SampleOf(reading, turn.verdict);
  const QString nodeId = current.value("id").toString();
  if (NodeUnresponsive(reading)) {
    tried << nodeId;
    if (const auto next = NextNode()) {
      current = *next;
      turn.action = PathTurn::Action::SwitchNode;
      turn.node = *next;
      broken = false;  // a new tunnel comes; the switch says so itself
      gameNoticeDue = false;
      return turn;
    }
    noneLeft = true;
  }
  if (noneLeft && (turn.verdict.health == PathHealth::NodeSilent || turn.verdict.health == PathHealth::NoHandshake)) {
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
  return turn;
}

}  // namespace zv

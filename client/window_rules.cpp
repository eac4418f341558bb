#include "window_rules.h"

#include <QMap>
#include <limits>

namespace zv {

Controls ControlsFor(const ControlFacts& facts) {
  const bool deleting = facts.phase == Phase::Stopping || facts.phase == Phase::RollingBack ||
                        facts.phase == Phase::Switching;
  return {
      .start = facts.phase == Phase::Idle && facts.signedIn && facts.regionHeld && !facts.sessionHeld &&
               !facts.serviceAccelerating,
      .stop = !deleting && (facts.sessionHeld || facts.serviceAccelerating),
      .launch = facts.phase == Phase::Running && !facts.tunnelLost && facts.acceleratedSelected,
  };
}

int ProbeValue(const QJsonValue& score) {
  int value = 100;
  if (score.isDouble()) {
    const double number = score.toDouble();
    if (number == static_cast<double>(static_cast<qint64>(number)) && number >= std::numeric_limits<int>::min() &&
        number <= std::numeric_limits<int>::max()) {
      value = static_cast<int>(number);
    }
  }
  return std::max(value, 1);
}

QString SteamRunAddress(const QString& slug) {
  static const QMap<QString, QString> kSteamAppIds = {
      {"cs2", "730"},
      {"pubg", "578080"},
      {"apex-legends", "1172470"},
      {"delta-force", "2507950"},
      {"repo", "3241660"},
      {"vrchat", "438100"},
      {"war-thunder-international", "236390"},
      {"yugioh-master-duel", "1449850"},
      {"goose-goose-duck", "1568590"},
      {"naraka-bladepoint", "1203220"},
      {"a-way-out", "1222700"},
      {"call-of-duty", "1938090"},
  };
  const auto found = kSteamAppIds.constFind(slug);
  return found == kSteamAppIds.constEnd() ? QString() : QString("steam://rungameid/%1").arg(*found);
}

MembershipLines MembershipOf(const QJsonObject& profile, const QDateTime& nowUtc) {
  const QJsonObject membership = profile.value("membership").toObject();
  const QDateTime expiry = QDateTime::fromString(membership.value("expires_at").toString(), Qt::ISODate);
  const QString localExpiry = expiry.isValid() ? expiry.toLocalTime().toString("yyyy-MM-dd HH:mm") : QString();
  if (!membership.value("active").toBool(false)) {
    return {Tr("会员状态：未开通或已过期"),
            expiry.isValid() ? Tr("到期时间：%1").arg(localExpiry) : Tr("到期时间：--"), false};
  }
  const QString kind = membership.value("kind").toString();
  const QString kindText = kind == "trial" ? Tr("试用会员") : kind == "grant" ? Tr("赠送会员") : Tr("正式会员");
  const qint64 days = expiry.isValid() ? std::max<qint64>(0, nowUtc.date().daysTo(expiry.toUTC().date())) : 0;
  return {Tr("会员状态：%1 · 剩余 %2 天").arg(kindText).arg(days), Tr("到期时间：%1").arg(localExpiry), true};
}

QString Elided(const QString& text, int length) {
  return text.size() <= length ? text : text.left(length - 1) + QChar(0x2026);
}

QString NameInLine(const QString& name, int length) {
  QString kept = Elided(name, length);
  return kept.replace('-', QChar(0x2011));  // a hyphen that never ends a line: "Counter-Strike" stays whole
}

QString ModeOf(const QJsonObject& request) {
  if (request.value("route_mode").toString() == "process-beta") return "process-beta";
  return request.value("rules_environment").toString() == "global-fallback" ? "global" : "game";
}

QString ModeText(const QString& mode) {
  if (mode == "process-beta") return Tr("正在加速 · 智能分流 Beta（仅游戏流量）");
  return mode == "global" ? Tr("正在加速 · 全局模式（全部 IPv4 流量经香港）") : Tr("正在加速 · 游戏分流模式");
}

QString GainLine(const QString& measured, const QString& mode, bool gameSeenInWholeTunnel) {
  return mode == "process-beta" || gameSeenInWholeTunnel ? measured : Tr("当前模式仅测量到加速节点的延迟");
}

}  // namespace zv

#include "kept_acceleration.h"

#include <QJsonDocument>
#include <QSettings>

namespace zv {
namespace {

constexpr char kGroup[] = "acceleration";

QString Compact(const QJsonDocument& document) {
  return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
}

QJsonDocument Parsed(const QSettings& settings, const char* key) {
  return QJsonDocument::fromJson(settings.value(key).toString().toUtf8());
}

}  // namespace

std::optional<KeptAcceleration> LoadKeptAcceleration() {
  QSettings settings;
  settings.beginGroup(kGroup);
  KeptAcceleration kept{settings.value("session_id").toString(), settings.value("game_id").toString(),
                        settings.value("region_id").toString(),  settings.value("game_name").toString(),
                        Parsed(settings, "node").object(),       Parsed(settings, "offered_nodes").array(),
                        settings.value("mode").toString(),       settings.value("egress_ip").toString(),
                        QDateTime::fromString(settings.value("started_at").toString(), Qt::ISODateWithMs)};
  if (kept.sessionId.isEmpty()) return std::nullopt;
  if (!kept.startedAt.isValid()) kept.startedAt = QDateTime::currentDateTimeUtc();
  return kept;
}

void KeepAcceleration(const KeptAcceleration& kept) {
  QSettings settings;
  settings.beginGroup(kGroup);
  settings.setValue("session_id", kept.sessionId);
  settings.setValue("game_id", kept.gameId);
  settings.setValue("region_id", kept.regionId);
  settings.setValue("game_name", kept.gameName);
  settings.setValue("node", Compact(QJsonDocument(kept.node)));
  settings.setValue("offered_nodes", Compact(QJsonDocument(kept.offeredNodes)));
  settings.setValue("mode", kept.mode);
  settings.setValue("egress_ip", kept.egressIp);
  settings.setValue("started_at", kept.startedAt.toUTC().toString(Qt::ISODateWithMs));
}

void ForgetKeptAcceleration() { QSettings().remove(kGroup); }

}  // namespace zv

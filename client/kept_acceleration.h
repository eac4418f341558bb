// The acceleration this client runs, kept in the settings from the tunnel's
// start until a stop ends it, so that a client started again (after a crash,
// a kill, or an update's installer) takes it up rather than offering a start
// the service would refuse. The private key is not kept: a kept acceleration
// that must be started afresh gets a new key and session.
#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <optional>

namespace zv {

struct KeptAcceleration {
  QString sessionId, gameId, regionId, gameName;
  QJsonObject node;          // the node in use: "id", "name", "location"
  QJsonArray offeredNodes;   // as the backend offered them, for a later node replacement
  QString mode;              // ModeOf's word for the routing
  QString egressIp;
  QDateTime startedAt;       // UTC
};

// Under "acceleration/" in the client's settings; nothing when no session id is kept.
std::optional<KeptAcceleration> LoadKeptAcceleration();
void KeepAcceleration(const KeptAcceleration& kept);
void ForgetKeptAcceleration();

}  // namespace zv

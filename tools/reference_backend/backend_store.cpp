#include "backend_store.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QPasswordDigestor>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace {

constexpr int kHashRounds = 100000;
constexpr char kRegionId[] = "hk";
constexpr char kStoreFailed[] = "服务器暂时无法保存数据，请稍后再试";

QByteArray RandomBytes(int words) {
  QList<quint32> values(words);
  QRandomGenerator::system()->fillRange(values.data(), values.size());
  return QByteArray(reinterpret_cast<const char*>(values.constData()), words * 4);
}

QByteArray PasswordHash(const QString& password, const QByteArray& salt) {
  return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, kHashRounds, 32);
}

// Runs one statement with its values bound in order; the query is returned
// for reading, and for its error, which every write checks.
QSqlQuery Run(QSqlDatabase& database, const QString& statement, const QVariantList& values = {}) {
  QSqlQuery query(database);
  query.prepare(statement);
  for (const QVariant& value : values) query.addBindValue(value);
  query.exec();
  return query;
}

bool Failed(const QSqlQuery& query) { return query.lastError().isValid(); }

QJsonArray Split(const QString& list) {
  QJsonArray items;
  for (const QString& item : list.split(',', Qt::SkipEmptyParts)) items.append(item);
  return items;
}

}  // namespace

bool BackendStore::Open(const QString& path, const QList<NodeSettings>& nodes, QString& error) {
  database = QSqlDatabase::addDatabase("QSQLITE");
  database.setDatabaseName(path);
  if (!database.open()) {
    error = database.lastError().text();
    return false;
  }
  const char* schema[] = {
      "CREATE TABLE IF NOT EXISTS accounts (account TEXT PRIMARY KEY, salt BLOB, hash BLOB, kind TEXT, expires_at TEXT)",
      "CREATE TABLE IF NOT EXISTS tokens (token TEXT PRIMARY KEY, account TEXT, kind TEXT, device_id TEXT)",
      "CREATE TABLE IF NOT EXISTS games (id TEXT PRIMARY KEY, name TEXT, slug TEXT, processes TEXT, networks TEXT)",
      "CREATE TABLE IF NOT EXISTS regions (id TEXT PRIMARY KEY, name TEXT)",
      "CREATE TABLE IF NOT EXISTS nodes (id TEXT PRIMARY KEY, region_id TEXT, name TEXT, location TEXT, "
      "interface TEXT, endpoint TEXT, public_key TEXT, egress_ip TEXT)",
      "CREATE TABLE IF NOT EXISTS sessions (id TEXT PRIMARY KEY, account TEXT, game_id TEXT, node_id TEXT, "
      "client_public_key TEXT, address_index INTEGER UNIQUE, created_at TEXT, device_id TEXT, last_seen INTEGER)",
      // The nodes are whatever this start was told: their keys change when they are rebuilt.
      "DELETE FROM nodes",
  };
  for (const char* statement : schema) {
    if (QSqlQuery query = Run(database, statement); Failed(query)) {
      error = query.lastError().text();
      return false;
    }
  }
  for (qsizetype i = 0; i < nodes.size(); ++i) {
    const NodeSettings& node = nodes[i];
    QSqlQuery insert = Run(database, "INSERT INTO nodes VALUES (?, ?, ?, 'hk', ?, ?, ?, ?)",
                           {QString("hk-node-%1").arg(i + 1), kRegionId, node.name, node.interfaceName,
                            node.endpoint, node.publicKey, node.egressIp});
    if (Failed(insert)) {
      error = insert.lastError().text();
      return false;
    }
  }
  QSqlQuery accounts = Run(database, "SELECT COUNT(*) FROM accounts");
  return !accounts.next() || accounts.value(0).toInt() > 0 || Seed(error);
}

bool BackendStore::Seed(QString& error) {
  const QByteArray salt = RandomBytes(4);
  const QString expires = QDateTime::currentDateTimeUtc().addDays(7).toString(Qt::ISODate);
  Run(database, "INSERT INTO accounts VALUES (?, ?, ?, 'trial', ?)",
      {kDemoAccount, salt, PasswordHash(kDemoPassword, salt), expires});
  // The demo's game servers live in 198.51.100.0/24.
  const struct {
    const char *id, *name, *slug, *processes;
  } games[] = {
      {"g-cs2", "Counter-Strike 2", "cs2", "cs2.exe"},
      {"g-pubg", "PUBG: BATTLEGROUNDS", "pubg", "TslGame.exe"},
      {"g-apex", "Apex Legends", "apex-legends", "r5apex.exe"},
  };
  for (const auto& game : games) {
    Run(database, "INSERT INTO games VALUES (?, ?, ?, ?, '198.51.100.0/24')",
        {game.id, game.name, game.slug, game.processes});
  }
  Run(database, "INSERT INTO regions VALUES (?, '香港')", {kRegionId});
  if (QSqlQuery check = Run(database, "SELECT COUNT(*) FROM games"); !check.next() || check.value(0).toInt() != 3) {
    error = "the demo data could not be stored";
    return false;
  }
  return true;
}

bool PasswordRecord::Matches(const QString& password) const { return PasswordHash(password, salt) == hash; }

std::optional<PasswordRecord> BackendStore::PasswordOf(const QString& account) {
  QSqlQuery query = Run(database, "SELECT salt, hash FROM accounts WHERE account = ?", {account});
  if (!query.next()) return std::nullopt;
  return PasswordRecord{query.value(0).toByteArray(), query.value(1).toByteArray()};
}

QString BackendStore::IssueToken(const QString& account, const QString& deviceId, const QString& kind) {
  const QString token = QString::fromLatin1(RandomBytes(8).toHex());
  return Failed(Run(database, "INSERT INTO tokens VALUES (?, ?, ?, ?)", {token, account, kind, deviceId})) ? QString()
                                                                                                        : token;
}

std::optional<Holder> BackendStore::HolderOfAccessToken(const QString& token) {
  QSqlQuery query = Run(database, "SELECT account, device_id FROM tokens WHERE token = ? AND kind = 'access'", {token});
  if (!query.next()) return std::nullopt;
  return Holder{query.value(0).toString(), query.value(1).toString()};
}

QJsonObject BackendStore::Profile(const QString& account) {
  QSqlQuery query = Run(database, "SELECT kind, expires_at FROM accounts WHERE account = ?", {account});
  QJsonObject membership{{"active", false}};
  if (query.next()) {
    const QDateTime expires = QDateTime::fromString(query.value(1).toString(), Qt::ISODate);
    membership = {{"active", expires > QDateTime::currentDateTimeUtc()},
                  {"kind", query.value(0).toString()},
                  {"expires_at", query.value(1).toString()}};
  }
  return {{"account", account}, {"membership", membership}};
}

QJsonArray BackendStore::Games() {
  QJsonArray items;
  QSqlQuery query = Run(database, "SELECT id, name, slug FROM games ORDER BY rowid");
  while (query.next()) {
    items.append(QJsonObject{{"id", query.value(0).toString()},
                             {"name", query.value(1).toString()},
                             {"slug", query.value(2).toString()}});
  }
  return items;
}

bool BackendStore::GameExists(const QString& gameId) {
  return Run(database, "SELECT 1 FROM games WHERE id = ?", {gameId}).next();
}

QJsonArray BackendStore::Regions(const QString&) {
  QJsonArray items;
  QSqlQuery query = Run(database, "SELECT id, name FROM regions ORDER BY id");
  while (query.next()) items.append(QJsonObject{{"id", query.value(0).toString()}, {"name", query.value(1).toString()}});
  return items;
}

// In the order given at the start: the client takes the first, and the next when one never answers.
QJsonArray BackendStore::Nodes(const QString&, const QString& regionId) {
  QJsonArray items;
  QSqlQuery query = Run(database, "SELECT id, name, location FROM nodes WHERE region_id = ? ORDER BY rowid", {regionId});
  while (query.next()) {
    items.append(QJsonObject{{"id", query.value(0).toString()},
                             {"name", query.value(1).toString()},
                             {"location", query.value(2).toString()},
                             {"score", 20}});
  }
  return items;
}

bool BackendStore::TellNode(const QString& interfaceName, const QStringList& arguments) {
  if (interfaceName.isEmpty()) return true;  // a node run elsewhere: nothing to provision here
  QProcess wg;
  wg.start("wg", QStringList{"set", interfaceName} + arguments);
  return wg.waitForFinished(5000) && wg.exitStatus() == QProcess::NormalExit && wg.exitCode() == 0;
}

std::variant<QJsonObject, Refusal> BackendStore::CreateSession(const Holder& holder, const QString& gameId,
                                                               const QString& regionId, const QString& nodeId,
                                                               const QString& clientPublicKey) {
  QSqlQuery game = Run(database, "SELECT processes, networks FROM games WHERE id = ?", {gameId});
  if (!game.next() || !Run(database, "SELECT 1 FROM regions WHERE id = ?", {regionId}).next()) {
    return Refusal{503, "游戏或区服不存在"};
  }
  QSqlQuery node = Run(database,
                       "SELECT id, interface, endpoint, public_key, egress_ip FROM nodes "
                       "WHERE region_id = ? AND (id = ? OR ? = '') ORDER BY rowid LIMIT 1",
                       {regionId, nodeId, nodeId});
  if (!node.next()) return Refusal{400, "加速节点不存在"};
  const QString interfaceName = node.value(1).toString();
  // A device holds one session: a new one replaces what a crashed or killed client left.
  if (!holder.deviceId.isEmpty()) {
    QStringList earlier;
    for (QSqlQuery held = Run(database, "SELECT id FROM sessions WHERE account = ? AND device_id = ?",
                              {holder.account, holder.deviceId});
         held.next();) {
      earlier << held.value(0).toString();
    }
    for (const QString& session : earlier) {
      if (!EndSession(session)) return Refusal{500, kStoreFailed};
    }
  }
  // One key is one WireGuard peer: a second session on it would move the first one's address.
  if (Run(database, "SELECT 1 FROM sessions WHERE client_public_key = ?", {clientPublicKey}).next()) {
    return Refusal{409, "该客户端公钥已被其他会话使用"};
  }
  QSqlQuery held = Run(database, "SELECT COUNT(*) FROM sessions WHERE account = ?", {holder.account});
  if (!held.next() || held.value(0).toInt() >= kSessionsPerAccount) {
    return Refusal{409, QString("每个账号最多同时使用 %1 个加速会话，请先停止其他会话").arg(kSessionsPerAccount)};
  }
  // The first free host address of 10.240.0.0/24; .1 is the node.
  int index = 2;
  for (QSqlQuery used = Run(database, "SELECT address_index FROM sessions ORDER BY address_index");
       used.next() && used.value(0).toInt() == index;) {
    ++index;
  }
  if (index > 254) return Refusal{503, "加速节点已满，请稍后再试"};
  const QString address = QString("10.240.0.%1").arg(index);
  if (!TellNode(interfaceName, {"peer", clientPublicKey, "allowed-ips", address + "/32"})) {
    return Refusal{503, "加速节点暂不可用"};
  }
  const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
  const QSqlQuery stored = Run(database, "INSERT INTO sessions VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                               {id, holder.account, gameId, node.value(0).toString(), clientPublicKey, index,
                                QDateTime::currentDateTimeUtc().toString(Qt::ISODate), holder.deviceId,
                                QDateTime::currentSecsSinceEpoch()});
  if (Failed(stored)) {
    // A peer without its row could never be removed: it goes with the failed write.
    TellNode(interfaceName, {"peer", clientPublicKey, "remove"});
    return Refusal{500, kStoreFailed};
  }
  return QJsonObject{{"session_id", id},
                     {"assigned_ip", address + "/32"},
                     {"server_public_key", node.value(3).toString()},
                     {"endpoint", node.value(2).toString()},
                     {"allowed_ips", Split(game.value(1).toString())},
                     {"game_processes", Split(game.value(0).toString())},
                     {"egress_ip", node.value(4).toString()},
                     {"rules_environment", "game-rules"}};
}

// The peer goes first: a row left after a failed delete can be deleted again,
// a peer left after its row never could.
bool BackendStore::EndSession(const QString& sessionId) {
  QSqlQuery session = Run(database,
                          "SELECT s.client_public_key, n.interface FROM sessions s "
                          "LEFT JOIN nodes n ON n.id = s.node_id WHERE s.id = ?",
                          {sessionId});
  if (!session.next()) return true;
  const QString key = session.value(0).toString(), interfaceName = session.value(1).toString();
  session.finish();
  TellNode(interfaceName, {"peer", key, "remove"});  // a peer gone already is no reason to keep the row
  return !Failed(Run(database, "DELETE FROM sessions WHERE id = ?", {sessionId}));
}

BackendStore::Deletion BackendStore::DeleteSession(const QString& account, const QString& sessionId) {
  if (!Run(database, "SELECT 1 FROM sessions WHERE id = ? AND account = ?", {sessionId, account}).next()) {
    return Deletion::NotFound;
  }
  return EndSession(sessionId) ? Deletion::Deleted : Deletion::Failed;
}

void BackendStore::ExpireSessions(qint64 unseenSeconds) {
  // A live tunnel shakes hands with its node at least every two minutes.
  for (QSqlQuery nodes = Run(database, "SELECT DISTINCT interface FROM nodes WHERE interface != ''"); nodes.next();) {
    QProcess wg;
    wg.start("wg", {"show", nodes.value(0).toString(), "latest-handshakes"});
    if (!wg.waitForFinished(5000) || wg.exitCode() != 0) continue;
    for (const QByteArray& line : wg.readAllStandardOutput().split('\n')) {
      const QList<QByteArray> fields = line.split('\t');
      if (fields.size() != 2 || fields[1].toLongLong() <= 0) continue;
      Run(database, "UPDATE sessions SET last_seen = MAX(last_seen, ?) WHERE client_public_key = ?",
          {fields[1].toLongLong(), QString::fromLatin1(fields[0])});
    }
  }
  QStringList unseen;
  for (QSqlQuery old = Run(database, "SELECT id FROM sessions WHERE last_seen < ?",
                           {QDateTime::currentSecsSinceEpoch() - unseenSeconds});
       old.next();) {
    unseen << old.value(0).toString();
  }
  for (const QString& session : unseen) EndSession(session);
}

QStringList BackendStore::SessionIds() {
  QStringList ids;
  for (QSqlQuery query = Run(database, "SELECT id FROM sessions ORDER BY rowid"); query.next();) {
    ids << query.value(0).toString();
  }
  return ids;
}

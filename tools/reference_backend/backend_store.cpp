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
constexpr char kNodeId[] = "hk-node-1";
constexpr char kRegionId[] = "hk";

QByteArray RandomBytes(int words) {
  QList<quint32> values(words);
  QRandomGenerator::system()->fillRange(values.data(), values.size());
  return QByteArray(reinterpret_cast<const char*>(values.constData()), words * 4);
}

QByteArray PasswordHash(const QString& password, const QByteArray& salt) {
  return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt, kHashRounds, 32);
}

// Runs one statement with its values bound in order; the query is returned for reading.
QSqlQuery Run(QSqlDatabase& database, const QString& statement, const QVariantList& values = {}) {
  QSqlQuery query(database);
  query.prepare(statement);
  for (const QVariant& value : values) query.addBindValue(value);
  query.exec();
  return query;
}

QJsonArray Split(const QString& list) {
  QJsonArray items;
  for (const QString& item : list.split(',', Qt::SkipEmptyParts)) items.append(item);
  return items;
}

}  // namespace

bool BackendStore::Open(const QString& path, const NodeSettings& settings, QString& error) {
  node = settings;
  database = QSqlDatabase::addDatabase("QSQLITE");
  database.setDatabaseName(path);
  if (!database.open()) {
    error = database.lastError().text();
    return false;
  }
  const char* schema[] = {
      "CREATE TABLE IF NOT EXISTS accounts (account TEXT PRIMARY KEY, salt BLOB, hash BLOB, kind TEXT, expires_at TEXT)",
      "CREATE TABLE IF NOT EXISTS tokens (token TEXT PRIMARY KEY, account TEXT, kind TEXT)",
      "CREATE TABLE IF NOT EXISTS games (id TEXT PRIMARY KEY, name TEXT, slug TEXT, processes TEXT, networks TEXT)",
      "CREATE TABLE IF NOT EXISTS regions (id TEXT PRIMARY KEY, name TEXT)",
      "CREATE TABLE IF NOT EXISTS nodes (id TEXT PRIMARY KEY, region_id TEXT, name TEXT, location TEXT, "
      "interface TEXT, endpoint TEXT, public_key TEXT, egress_ip TEXT)",
      "CREATE TABLE IF NOT EXISTS sessions (id TEXT PRIMARY KEY, account TEXT, game_id TEXT, node_id TEXT, "
      "client_public_key TEXT, address_index INTEGER UNIQUE, created_at TEXT)",
  };
  for (const char* statement : schema) {
    if (QSqlQuery query = Run(database, statement); query.lastError().isValid()) {
      error = query.lastError().text();
      return false;
    }
  }
  // The node is whatever this start was told: its keys change when it is rebuilt.
  Run(database, "INSERT OR REPLACE INTO nodes VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
      {kNodeId, kRegionId, "Hong Kong Test Node", "hk", node.interfaceName, node.endpoint, node.publicKey,
       node.egressIp});
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

QString BackendStore::IssueToken(const QString& account, const QString& kind) {
  const QString token = QString::fromLatin1(RandomBytes(8).toHex());
  Run(database, "INSERT INTO tokens VALUES (?, ?, ?)", {token, account, kind});
  return token;
}

std::optional<QString> BackendStore::AccountOfAccessToken(const QString& token) {
  QSqlQuery query = Run(database, "SELECT account FROM tokens WHERE token = ? AND kind = 'access'", {token});
  if (!query.next()) return std::nullopt;
  return query.value(0).toString();
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

QJsonArray BackendStore::Nodes(const QString&, const QString& regionId) {
  QJsonArray items;
  QSqlQuery query = Run(database, "SELECT id, name, location FROM nodes WHERE region_id = ?", {regionId});
  while (query.next()) {
    items.append(QJsonObject{{"id", query.value(0).toString()},
                             {"name", query.value(1).toString()},
                             {"location", query.value(2).toString()},
                             {"score", 20}});
  }
  return items;
}

bool BackendStore::TellNode(const QStringList& arguments) {
  QProcess wg;
  wg.start("wg", QStringList{"set", node.interfaceName} + arguments);
  return wg.waitForFinished(5000) && wg.exitStatus() == QProcess::NormalExit && wg.exitCode() == 0;
}

std::variant<QJsonObject, Refusal> BackendStore::CreateSession(const QString& account, const QString& gameId,
                                                               const QString& regionId,
                                                               const QString& clientPublicKey) {
  QSqlQuery game = Run(database, "SELECT processes, networks FROM games WHERE id = ?", {gameId});
  if (!game.next() || !Run(database, "SELECT 1 FROM regions WHERE id = ?", {regionId}).next()) {
    return Refusal{503, "游戏或区服不存在"};
  }
  // One key is one WireGuard peer: a second session on it would move the first one's address.
  if (Run(database, "SELECT 1 FROM sessions WHERE client_public_key = ?", {clientPublicKey}).next()) {
    return Refusal{409, "该客户端公钥已被其他会话使用"};
  }
  QSqlQuery held = Run(database, "SELECT COUNT(*) FROM sessions WHERE account = ?", {account});
  if (!held.next() || held.value(0).toInt() >= kSessionsPerAccount) {
    return Refusal{409, QString("每个账号最多同时使用 %1 个加速会话，请先停止其他会话").arg(kSessionsPerAccount)};
  }
  // The first free host address of the node's 10.240.0.0/24; .1 is the node.
  int index = 2;
  for (QSqlQuery used = Run(database, "SELECT address_index FROM sessions ORDER BY address_index");
       used.next() && used.value(0).toInt() == index;) {
    ++index;
  }
  if (index > 254) return Refusal{503, "加速节点已满，请稍后再试"};
  const QString address = QString("10.240.0.%1").arg(index);
  if (!TellNode({"peer", clientPublicKey, "allowed-ips", address + "/32"})) return Refusal{503, "加速节点暂不可用"};
  const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
  Run(database, "INSERT INTO sessions VALUES (?, ?, ?, ?, ?, ?, ?)",
      {id, account, gameId, kNodeId, clientPublicKey, index, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)});
  return QJsonObject{{"session_id", id},
                     {"assigned_ip", address + "/32"},
                     {"server_public_key", node.publicKey},
                     {"endpoint", node.endpoint},
                     {"allowed_ips", Split(game.value(1).toString())},
                     {"game_processes", Split(game.value(0).toString())},
                     {"egress_ip", node.egressIp},
                     {"rules_environment", "game-rules"}};
}

bool BackendStore::DeleteSession(const QString& account, const QString& sessionId) {
  QSqlQuery session =
      Run(database, "SELECT client_public_key FROM sessions WHERE id = ? AND account = ?", {sessionId, account});
  if (!session.next()) return false;
  TellNode({"peer", session.value(0).toString(), "remove"});  // a peer already gone is no reason to keep the row
  Run(database, "DELETE FROM sessions WHERE id = ?", {sessionId});
  return true;
}

// The reference backend's state in SQLite: accounts with hashed passwords,
// tokens, the catalog, one node, and sessions that survive a restart.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QString>
#include <optional>
#include <variant>

// An account's salt and PBKDF2 hash. Matches() touches no database, so it may
// run on any thread.
struct PasswordRecord {
  QByteArray salt;
  QByteArray hash;
  bool Matches(const QString& password) const;
};

// Why no session was made, as the HTTP status and message the client is shown.
struct Refusal {
  int status;
  QString message;
};

struct NodeSettings {
  QString interfaceName;  // the node's WireGuard interface, provisioned with `wg`
  QString endpoint;       // host:port the clients send to
  QString publicKey;
  QString egressIp;
};

class BackendStore {
 public:
  // Opens (and on first start seeds) the database; false with `error` set when it cannot.
  bool Open(const QString& path, const NodeSettings& node, QString& error);

  std::optional<PasswordRecord> PasswordOf(const QString& account);
  QString IssueToken(const QString& account, const QString& kind);
  std::optional<QString> AccountOfAccessToken(const QString& token);
  QJsonObject Profile(const QString& account);

  QJsonArray Games();
  bool GameExists(const QString& gameId);
  QJsonArray Regions(const QString& gameId);
  QJsonArray Nodes(const QString& gameId, const QString& regionId);

  // The session's reply object, or why there is none; a refused session is
  // neither stored nor provisioned.
  std::variant<QJsonObject, Refusal> CreateSession(const QString& account, const QString& gameId,
                                                   const QString& regionId, const QString& clientPublicKey);
  // False when the account holds no such session.
  bool DeleteSession(const QString& account, const QString& sessionId);

  static inline const QString kDemoAccount = "demo@zentravolk.com";
  static inline const QString kDemoPassword = "demo-pass-2026";
  // Live sessions one account may hold: the node has only 253 addresses to share.
  static constexpr int kSessionsPerAccount = 3;

 private:
  bool Seed(QString& error);
  bool TellNode(const QStringList& arguments);
  QSqlDatabase database;
  NodeSettings node;
};

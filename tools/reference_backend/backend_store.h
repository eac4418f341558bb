// The reference backend's state in SQLite: accounts with hashed passwords,
// tokens (with the device that signed in), the catalog, the nodes of this
// start, and sessions that survive a restart until they are deleted, replaced
// by a new one from the same device, or not seen on their node for too long.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
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
  QString name;
  QString interfaceName;  // the node's WireGuard interface, provisioned with `wg`; empty: run elsewhere
  QString endpoint;       // host:port the clients send to
  QString publicKey;
  QString egressIp;
};

// Who a bearer token belongs to: the account and the device it signed in from.
struct Holder {
  QString account;
  QString deviceId;
};

class BackendStore {
 public:
  // Opens (and on first start seeds) the database with the nodes offered for
  // the region, in order; false with `error` set when it cannot.
  bool Open(const QString& path, const QList<NodeSettings>& nodes, QString& error);

  std::optional<PasswordRecord> PasswordOf(const QString& account);
  // Empty when the token could not be stored.
  QString IssueToken(const QString& account, const QString& deviceId, const QString& kind);
  std::optional<Holder> HolderOfAccessToken(const QString& token);
  QJsonObject Profile(const QString& account);

  QJsonArray Games();
  bool GameExists(const QString& gameId);
  QJsonArray Regions(const QString& gameId);
  QJsonArray Nodes(const QString& gameId, const QString& regionId);

  // The session's reply object, or why there is none; a refused session is
  // neither stored nor provisioned. A session from a device that holds one
  // already replaces it. An empty node id means the region's first node.
  std::variant<QJsonObject, Refusal> CreateSession(const Holder& holder, const QString& gameId,
                                                   const QString& regionId, const QString& nodeId,
                                                   const QString& clientPublicKey);
  enum class Deletion { Deleted, NotFound, Failed };
  Deletion DeleteSession(const QString& account, const QString& sessionId);
  // Ends every session whose peer has not shaken hands with its node (or, on a
  // node run elsewhere, that was not made) within `unseenSeconds`.
  void ExpireSessions(qint64 unseenSeconds);
  QStringList SessionIds();  // the sessions held, for the client's tests that run it in process

  static inline const QString kDemoAccount = "demo@zentravolk.com";
  static inline const QString kDemoPassword = "demo-pass-2026";
  // Live sessions one account may hold: the node has only 253 addresses to share.
  static constexpr int kSessionsPerAccount = 3;

 private:
  bool Seed(QString& error);
  bool TellNode(const QString& interfaceName, const QStringList& arguments);
  // Removes the session's row, then its peer; false when the row could not be removed.
  bool EndSession(const QString& sessionId);
  QSqlDatabase database;
};

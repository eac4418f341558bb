// The desktop client's only gateway to the backend: every call is one
// asynchronous request whose outcome arrives as one of the signals.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>

// The installer's folder, per platform: its path, and making it ready for a
// download (false when it cannot be made, or is not the user's alone).
QString InstallerFolder();
bool PrepareInstallerFolder();

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

class ApiClient : public QObject {
  Q_OBJECT

 public:
  // A silent backend must not leave the window waiting forever: an API call
  // gets this long in all (its replies are a few kilobytes at most), and the
  // installer download fails after this long without a byte.
  static constexpr std::chrono::milliseconds kDefaultCallTimeout{20000};
  static constexpr std::chrono::milliseconds kDefaultDownloadIdleTimeout{30000};

  explicit ApiClient(QObject* parent = nullptr);

  void Login(const QString& account, const QString& password);
  void LoadProfile();
  void LoadGames();
  void LoadRegions(const QString& gameId);
  void LoadNodes(const QString& gameId, const QString& regionId);
  void CreateSession(const QString& gameId, const QString& regionId, const QString& preferredNodeId,
                     const QString& clientPublicKey, int rttMs);
  void StopSession(const QString& sessionId);
  // Deletes a session the window no longer holds (its stop went ahead without
  // the backend, or its node was replaced); answers only SessionRetired.
  void RetireSession(const QString& sessionId);
  void CheckForUpdates();
  void DownloadUpdate(const QUrl& downloadUrl, const QString& sha256, qlonglong sizeBytes);

  QString DeviceId() const;
  bool IsAuthenticated() const;
  void ClearTokens();

  void SetTimeouts(std::chrono::milliseconds call, std::chrono::milliseconds downloadIdle);
  // Where a verified installer is saved: in the user's temporary folder on
  // Windows, in a folder only the user can write elsewhere.
  static QString InstallerPath();

 signals:
  void LoginSucceeded(QString account);
  void ProfileLoaded(QJsonObject profile);
  void GamesLoaded(QJsonArray games);
  void RegionsLoaded(QString gameId, QJsonArray regions);
  void NodesLoaded(QString gameId, QString regionId, QJsonArray nodes);
  void SessionCreated(QJsonObject session);
  void AccelerationFailed(QString message);
  void SessionStopped();
  void UpdateAvailable(QString version, QUrl downloadUrl, QString releaseNotes, bool mandatory, QString sha256,
                       qlonglong sizeBytes);
  void UpdateDownloadProgress(qlonglong received, qlonglong total);
  void UpdateDownloaded(QString installerPath);
  void UpdateDownloadFailed(QString message);
  void RequestFailed(QString message);
  // Ours, each after the RequestFailed it follows: which call failed, for the window to act on.
  void NodesFailed();
  void SessionStopFailed(QString message);
  void SessionRetired(QString sessionId, bool gone);  // gone: deleted, or the backend holds no such session

 private:
  struct Judged {
    int status;  // 0: no reply at all, or ended by our time-out
    QJsonObject object;
    bool complete = true;  // false: cut off before its body's end
  };
  QNetworkRequest Request(const QString& path, bool bearer) const;
  QNetworkReply* Started(QNetworkReply* reply);
  static Judged Judge(QNetworkReply* reply);
  // How a call fails: its signal and default text, the text when no backend was
  // reached at all, and what follows the signal.
  struct Failure {
    void (ApiClient::*signal)(QString);
    QString text;
    QString unreached = text;
    std::function<void(const QString&)> then = {};
  };
  // On the exact success status runs `success` with the body's object; otherwise
  // emits the failure with the body's string "message", or with its text.
  template <typename Success>
  void OnReply(QNetworkReply* reply, int successStatus, const Failure& failure, Success success);
  bool RefusedSignedOut();  // emits "请先登录" when no access token is held

  QNetworkAccessManager* network;
  QUrl baseUrl;
  QString accessToken;
  QString refreshToken;
  QPointer<QNetworkReply> nodesReply;  // the node list of the latest start; an earlier one is dropped
  std::chrono::milliseconds callTimeout = kDefaultCallTimeout;
  std::chrono::milliseconds downloadIdleTimeout = kDefaultDownloadIdleTimeout;
};

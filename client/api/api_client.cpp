#include "api_client.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QUrlQuery>
#include <QUuid>
#include <QVersionNumber>
#include <memory>

namespace {

constexpr char kBaseUrlVariable[] = "VIRI_ZIVADADIVAZ_API_URL";
constexpr char kDefaultBaseUrl[] = "https://api.zentravolk.com";
constexpr char kDeviceIdKey[] = "device/id";

QByteArray Compact(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

QJsonArray Items(const QJsonObject& object) { return object.value("items").toArray(); }

// The leading dot-separated numbers, after every "-alpha" and "-beta" is cut out.
QVersionNumber ComparableVersion(QString text) {
  return QVersionNumber::fromString(text.remove("-alpha").remove("-beta"));
}

}  // namespace

ApiClient::ApiClient(QObject* parent)
    : QObject(parent),
      network(new QNetworkAccessManager(this)),
      baseUrl(qEnvironmentVariableIsSet(kBaseUrlVariable) ? qEnvironmentVariable(kBaseUrlVariable)
                                                           : QString(kDefaultBaseUrl),
              QUrl::TolerantMode) {}

void ApiClient::SetTimeouts(std::chrono::milliseconds call, std::chrono::milliseconds downloadIdle) {
  callTimeout = call;
  downloadIdleTimeout = downloadIdle;
}

QNetworkRequest ApiClient::Request(const QString& path, bool bearer) const {
  QUrl url = baseUrl;
  url.setPath(path, QUrl::DecodedMode);  // the endpoint path replaces any path of the base
  QNetworkRequest request(url);
  if (bearer) request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
  return request;
}

QNetworkReply* ApiClient::Started(QNetworkReply* reply) {
  // Aborting gives the reply status 0, so a time-out reads as any network failure.
  QTimer::singleShot(callTimeout, reply, [reply] { reply->abort(); });
  return reply;
}

ApiClient::Judged ApiClient::Judge(QNetworkReply* reply) {
  const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();  // an aborted reply is closed
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  reply->deleteLater();
  return {status, QJsonDocument::fromJson(body).object()};  // a 204 has no body, so this is empty
}

template <typename Success>
void ApiClient::OnReply(QNetworkReply* reply, int successStatus, void (ApiClient::*failed)(QString),
                        const QString& defaultText, Success success) {
  connect(reply, &QNetworkReply::finished, this, [this, reply, successStatus, failed, defaultText, success] {
    const Judged judged = Judge(reply);
    if (judged.status == successStatus) return success(judged.object);
    const QJsonValue message = judged.object.value("message");
    emit(this->*failed)(message.isString() ? message.toString() : defaultText);
  });
}

bool ApiClient::RefusedSignedOut() {
  if (IsAuthenticated()) return false;
  emit RequestFailed("请先登录");
  return true;
}

void ApiClient::Login(const QString& account, const QString& password) {
  QNetworkRequest request = Request("/api/v1/auth/login", false);
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
  const QJsonObject body{{"account", account.trimmed()}, {"password", password}, {"device_id", DeviceId()}};
  OnReply(Started(network->post(request, Compact(body))), 200, &ApiClient::RequestFailed, "登录失败",
          [this, account](const QJsonObject& answer) {
            // Stored before they are checked: a half answer still replaces the old tokens.
            accessToken = answer.value("access_token").toString();
            refreshToken = answer.value("refresh_token").toString();
            if (accessToken.isEmpty() || refreshToken.isEmpty()) {
              emit RequestFailed("登录响应缺少 Token");
              return;
            }
            emit LoginSucceeded(account.trimmed());
          });
}

void ApiClient::LoadProfile() {
  if (RefusedSignedOut()) return;
  OnReply(Started(network->get(Request("/api/v1/me", true))), 200, &ApiClient::RequestFailed, "读取会员信息失败",
          [this](const QJsonObject& profile) { emit ProfileLoaded(profile); });
}

void ApiClient::LoadGames() {
  if (RefusedSignedOut()) return;
  OnReply(Started(network->get(Request("/api/v1/games", true))), 200, &ApiClient::RequestFailed, "读取游戏失败",
          [this](const QJsonObject& answer) { emit GamesLoaded(Items(answer)); });
}

void ApiClient::LoadRegions(const QString& gameId) {
  const QString path = QString("/api/v1/games/%1/regions").arg(gameId);
  OnReply(Started(network->get(Request(path, true))), 200, &ApiClient::RequestFailed, "读取游戏区服失败",
          [this, gameId](const QJsonObject& answer) { emit RegionsLoaded(gameId, Items(answer)); });
}

void ApiClient::LoadNodes(const QString& gameId, const QString& regionId) {
  const QString path = QString("/api/v1/games/%1/regions/%2/nodes").arg(gameId, regionId);
  OnReply(Started(network->get(Request(path, true))), 200, &ApiClient::RequestFailed, "读取加速节点失败",
          [this, gameId, regionId](const QJsonObject& answer) { emit NodesLoaded(gameId, regionId, Items(answer)); });
}

void ApiClient::CreateSession(const QString& gameId, const QString& regionId, const QString& preferredNodeId,
                              const QString& clientPublicKey, int rttMs) {
  const QJsonObject probe{{"node_id", preferredNodeId}, {"rtt_ms", rttMs}, {"jitter_ms", 0}, {"loss_rate", 0.0}};
  const QJsonObject body{{"game_id", gameId},
                         {"region_id", regionId},
                         {"preferred_node_id", preferredNodeId},
                         {"client_public_key", clientPublicKey},
                         {"probes", QJsonArray{probe}}};
  QNetworkRequest request = Request("/api/v1/acceleration/sessions", true);
  request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
  OnReply(Started(network->post(request, Compact(body))), 201, &ApiClient::AccelerationFailed, "创建加速会话失败",
          [this](const QJsonObject& session) { emit SessionCreated(session); });
}

void ApiClient::StopSession(const QString& sessionId) {
  const QString path = QString("/api/v1/acceleration/sessions/%1").arg(sessionId);
  OnReply(Started(network->deleteResource(Request(path, true))), 204, &ApiClient::RequestFailed, "停止加速会话失败",
          [this](const QJsonObject&) { emit SessionStopped(); });
}

void ApiClient::CheckForUpdates() {
  QNetworkRequest request = Request("/api/v1/client/releases/latest", false);
  QUrl url = request.url();
  QUrlQuery query;
  query.addQueryItem("channel", "alpha");
  query.addQueryItem("platform", "windows-x64");
  url.setQuery(query);
  request.setUrl(url);
  QNetworkReply* reply = Started(network->get(request));
  connect(reply, &QNetworkReply::finished, this, [this, reply] {
    const Judged judged = Judge(reply);
    if (judged.status != 200) return;  // a failed check is not the user's concern
    const QString version = judged.object.value("version").toString();
    const QVersionNumber remote = ComparableVersion(version);
    if (remote.isNull() || remote <= QVersionNumber::fromString(QCoreApplication::applicationVersion())) return;
    const QJsonValue size = judged.object.value("size_bytes");
    emit UpdateAvailable(version, QUrl(judged.object.value("download_url").toString(), QUrl::TolerantMode),
                         judged.object.value("release_notes").toString(),
                         judged.object.value("mandatory").toBool(false), judged.object.value("sha256").toString(),
                         size.isDouble() ? size.toInteger() : 0);
  });
}

QString ApiClient::InstallerPath() {
  return QStandardPaths::writableLocation(QStandardPaths::TempLocation) + "/Zentravolk" +
         "/Zentravolk-Update-Setup.exe";
}

void ApiClient::DownloadUpdate(const QUrl& downloadUrl, const QString& sha256, qlonglong sizeBytes) {
  if (!downloadUrl.isValid() || downloadUrl.scheme() != "https" || sha256.size() != 64 || sizeBytes < 1) {
    emit UpdateDownloadFailed("更新信息不完整");
    return;
  }
  QNetworkRequest request(downloadUrl);
  request.setTransferTimeout(static_cast<int>(downloadIdleTimeout.count()));  // idle, not total
  QNetworkReply* reply = network->get(request);
  // Collected as it arrives, so a body longer than announced is stopped at once.
  auto body = std::make_shared<QByteArray>();
  auto oversized = std::make_shared<bool>(false);
  connect(reply, &QNetworkReply::downloadProgress, this, &ApiClient::UpdateDownloadProgress);
  connect(reply, &QNetworkReply::readyRead, this, [reply, body, oversized, sizeBytes] {
    body->append(reply->readAll());
    if (body->size() > sizeBytes && !*oversized) {
      *oversized = true;
      reply->abort();
    }
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply, body, oversized, sha256, sizeBytes] {
    if (!*oversized && reply->isReadable()) body->append(reply->readAll());
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString error = *oversized ? QString("下载内容超过声明的大小") : reply->errorString();
    reply->deleteLater();
    if (*oversized || status != 200 || body->size() != sizeBytes) {
      emit UpdateDownloadFailed(QString("更新下载失败：%1").arg(error));
      return;
    }
    SaveInstaller(*body, sha256);
  });
}

void ApiClient::SaveInstaller(const QByteArray& body, const QString& sha256) {
  // Verified in memory first: a file that fails the check never reaches the disk.
  if (QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() != sha256.toLower().toLatin1()) {
    emit UpdateDownloadFailed("更新文件校验失败，已停止安装");
    return;
  }
  const QString path = InstallerPath();
  if (!QDir().mkpath(QFileInfo(path).path())) {
    emit UpdateDownloadFailed("无法创建更新临时目录");
    return;
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit()) {
    emit UpdateDownloadFailed("无法保存更新安装程序");
    return;
  }
  emit UpdateDownloaded(path);
}

QString ApiClient::DeviceId() const {
  QSettings settings;
  QString id = settings.value(kDeviceIdKey).toString();
  if (id.isEmpty()) {
    id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    settings.setValue(kDeviceIdKey, id);
  }
  return id;
}

bool ApiClient::IsAuthenticated() const { return !accessToken.isEmpty(); }

void ApiClient::ClearTokens() {
  accessToken.clear();
  refreshToken.clear();
}

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

#include "app_identity.h"

namespace {

constexpr char kBaseUrlVariable[] = "VIRI_ZIVADADIVAZ_API_URL";
constexpr char kDefaultBaseUrl[] = "https://api.zentravolk.com";
constexpr char kDeviceIdKey[] = "device/id";
constexpr char kTimedOut[] = "zvTimedOut";
constexpr char kInstallerName[] = "/Zentravolk-Update-Setup.exe";
// What Qt may hold of a download before we take it: the installer is written as it comes.
constexpr qint64 kDownloadReadBuffer = 1 << 20;

// One installer on its way in: hashed and written as it arrives, so memory
// stays small whatever size is announced. The file is a temporary one beside
// the installer's name, which only a verified download replaces.
struct InstallerDownload {
  QCryptographicHash hash{QCryptographicHash::Sha256};
  std::unique_ptr<QSaveFile> file;  // nothing when the folder could not be made ready
  bool writeFailed = false;
  bool oversized = false;
  qint64 received = 0;
};

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
  QTimer::singleShot(callTimeout, reply, [reply] {
    reply->setProperty(kTimedOut, true);
    reply->abort();
  });
  return reply;
}

ApiClient::Judged ApiClient::Judge(QNetworkReply* reply) {
  reply->deleteLater();
  // A call our own time-out ended fails as any network failure does, even when
  // its status line (a 200, say) had already arrived.
  if (reply->property(kTimedOut).toBool()) return {0, {}, false};
  const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();  // an aborted reply is closed
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  // A success whose connection ended before its body did is no success: what came is not all there
  // was. Qt does not always say so, so the announced length is looked at too (not of a compressed body).
  const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
  const bool cut = reply->error() != QNetworkReply::NoError ||
                   (announced.isValid() && !reply->hasRawHeader("Content-Encoding") && body.size() < announced.toLongLong());
  if (status / 100 == 2 && cut) return {status, {}, false};
  return {status, QJsonDocument::fromJson(body).object()};  // a 204 has no body, so this is empty
}

template <typename Success>
void ApiClient::OnReply(QNetworkReply* reply, int successStatus, const Failure& failure, Success success) {
  connect(reply, &QNetworkReply::finished, this, [this, reply, successStatus, failure, success] {
    const Judged judged = Judge(reply);
    if (judged.status == successStatus && judged.complete) return success(judged.object);
    const QJsonValue message = judged.object.value("message");
    const QString text = message.isString() ? message.toString()
                         : judged.status == 0 ? failure.unreached
                                              : failure.text;
    emit(this->*failure.signal)(text);
    if (failure.then) failure.then(text);
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
  // A sign-in that reached no backend says that the network is the cause.
  OnReply(Started(network->post(request, Compact(body))), 200,
          {&ApiClient::RequestFailed, "登录失败", "登录失败：无法连接到服务器，请检查网络"}, [this, account](const QJsonObject& answer) {
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
  OnReply(Started(network->get(Request("/api/v1/me", true))), 200, {&ApiClient::RequestFailed, "读取会员信息失败"},
          [this](const QJsonObject& profile) { emit ProfileLoaded(profile); });
}

void ApiClient::LoadGames() {
  if (RefusedSignedOut()) return;
  OnReply(Started(network->get(Request("/api/v1/games", true))), 200, {&ApiClient::RequestFailed, "读取游戏失败"},
          [this](const QJsonObject& answer) { emit GamesLoaded(Items(answer)); });
}

void ApiClient::LoadRegions(const QString& gameId) {
  const QString path = QString("/api/v1/games/%1/regions").arg(gameId);
  OnReply(Started(network->get(Request(path, true))), 200, {&ApiClient::RequestFailed, "读取游戏区服失败"},
          [this, gameId](const QJsonObject& answer) { emit RegionsLoaded(gameId, Items(answer)); });
}

void ApiClient::LoadNodes(const QString& gameId, const QString& regionId) {
  const QString path = QString("/api/v1/games/%1/regions/%2/nodes").arg(gameId, regionId);
  // Only the latest start's list counts: an earlier one, late, would end it.
  if (nodesReply) {
    nodesReply->disconnect(this);
    nodesReply->abort();
    nodesReply->deleteLater();
  }
  nodesReply = Started(network->get(Request(path, true)));
  OnReply(nodesReply.data(), 200,
          {&ApiClient::RequestFailed, "读取加速节点失败", "读取加速节点失败", [this](const QString&) { emit NodesFailed(); }},
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
  OnReply(Started(network->post(request, Compact(body))), 201, {&ApiClient::AccelerationFailed, "创建加速会话失败"},
          [this](const QJsonObject& session) { emit SessionCreated(session); });
}

void ApiClient::StopSession(const QString& sessionId) {
  const QString path = QString("/api/v1/acceleration/sessions/%1").arg(sessionId);
  OnReply(Started(network->deleteResource(Request(path, true))), 204,
          {&ApiClient::RequestFailed, "停止加速会话失败", "停止加速会话失败",
           [this](const QString& text) { emit SessionStopFailed(text); }},
          [this](const QJsonObject&) { emit SessionStopped(); });
}

void ApiClient::RetireSession(const QString& sessionId) {
  const QString path = QString("/api/v1/acceleration/sessions/%1").arg(sessionId);
  QNetworkReply* reply = Started(network->deleteResource(Request(path, true)));
  connect(reply, &QNetworkReply::finished, this, [this, reply, sessionId] {
    const int status = Judge(reply).status;
    emit SessionRetired(sessionId, status == 204 || status == 404);
  });
}

void ApiClient::CheckForUpdates() {
  QNetworkRequest request = Request("/api/v1/client/releases/latest", false);
  QUrl url = request.url();
  QUrlQuery query;
  query.addQueryItem("channel", "alpha");
  query.addQueryItem("platform", zv::ReleasePlatform());
  url.setQuery(query);
  request.setUrl(url);
  QNetworkReply* reply = Started(network->get(request));
  connect(reply, &QNetworkReply::finished, this, [this, reply] {
    const Judged judged = Judge(reply);
    if (judged.status != 200 || !judged.complete) return;  // a failed check is not the user's concern
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

QString ApiClient::InstallerPath() { return InstallerFolder() + kInstallerName; }

void ApiClient::DownloadUpdate(const QUrl& downloadUrl, const QString& sha256, qlonglong sizeBytes) {
  if (!downloadUrl.isValid() || downloadUrl.scheme() != "https" || sha256.size() != 64 || sizeBytes < 1) {
    emit UpdateDownloadFailed("更新信息不完整");
    return;
  }
  auto download = std::make_shared<InstallerDownload>();
  if (PrepareInstallerFolder()) {
    download->file = std::make_unique<QSaveFile>(InstallerPath());
    // Only the user may write it: it runs with their rights, and perhaps with more.
    download->writeFailed = !download->file->open(QIODevice::WriteOnly) ||
                            !download->file->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  }
  QNetworkRequest request(downloadUrl);
  request.setTransferTimeout(static_cast<int>(downloadIdleTimeout.count()));  // idle, not total
  QNetworkReply* reply = network->get(request);
  reply->setReadBufferSize(kDownloadReadBuffer);
  const auto take = [reply, download, sizeBytes] {
    if (download->oversized || !reply->isReadable()) return;
    const QByteArray chunk = reply->readAll();
    download->received += chunk.size();
    if (download->received > sizeBytes) {  // stopped at once: no more than announced is ever kept
      download->oversized = true;
      reply->abort();
      return;
    }
    download->hash.addData(chunk);
    if (download->file && !download->writeFailed) {
      download->writeFailed = download->file->write(chunk) != chunk.size() || !download->file->flush();
    }
  };
  connect(reply, &QNetworkReply::downloadProgress, this, &ApiClient::UpdateDownloadProgress);
  connect(reply, &QNetworkReply::readyRead, this, take);
  connect(reply, &QNetworkReply::finished, this, [this, reply, download, take, sha256, sizeBytes] {
    take();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString error = download->oversized ? QString("下载内容超过声明的大小") : reply->errorString();
    reply->deleteLater();
    // The checks keep their order; an unsaved temporary file goes with the download.
    const std::unique_ptr<QSaveFile> file = std::move(download->file);
    if (download->oversized || status != 200 || download->received != sizeBytes) {
      emit UpdateDownloadFailed(QString("更新下载失败：%1").arg(error));
    } else if (download->hash.result().toHex() != sha256.toLower().toLatin1()) {
      emit UpdateDownloadFailed("更新文件校验失败，已停止安装");
    } else if (!file) {
      emit UpdateDownloadFailed("无法创建更新临时目录");
    } else if (download->writeFailed || !file->commit()) {
      emit UpdateDownloadFailed("无法保存更新安装程序");
    } else {
      emit UpdateDownloaded(file->fileName());
    }
  });
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

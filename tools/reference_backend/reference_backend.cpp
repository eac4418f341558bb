#include "reference_backend.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>
#include <QThread>
#include <QUrlQuery>
#include <QVersionNumber>
#include <QtConcurrent>
#include <algorithm>
#include <memory>

#include "bounded_servers.h"

namespace {

using Status = QHttpServerResponse::StatusCode;
using Method = QHttpServerRequest::Method;

QHttpServerResponse Message(const QString& text, Status status) { return {QJsonObject{{"message", text}}, status}; }

std::optional<QJsonObject> JsonBody(const QHttpServerRequest& request) {
  const QJsonDocument document = QJsonDocument::fromJson(request.body());
  if (!document.isObject()) return std::nullopt;
  return document.object();
}

QByteArray MethodName(Method method) {
  return method == Method::Get ? "GET" : method == Method::Post ? "POST" : "DELETE";
}

void Send(QHttpServerResponder&& responder, const QByteArray& method, const QString& path,
          const QHttpServerResponse& response) {
  LogExchange(method, path, static_cast<int>(response.statusCode()));
  response.write(std::move(responder));
}

}  // namespace

// Size and SHA-256 of the very bytes read, so the answer matches the file as served.
bool DescribeInstaller(const QString& path, Release& release, QString& error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    error = QString("cannot read the installer %1: %2").arg(path, file.errorString());
    return false;
  }
  QCryptographicHash hash(QCryptographicHash::Sha256);
  qint64 size = 0;
  while (!file.atEnd()) {
    const QByteArray chunk = file.read(1 << 20);
    if (chunk.isEmpty()) {
      error = QString("cannot read the installer %1: %2").arg(path, file.errorString());
      return false;
    }
    hash.addData(chunk);
    size += chunk.size();
  }
  if (size == 0) {
    error = QString("the installer %1 is empty").arg(path);
    return false;
  }
  release.size = size;
  release.sha256 = QString::fromLatin1(hash.result().toHex());
  release.path = QFileInfo(path).absoluteFilePath();
  release.fileName = QFileInfo(path).fileName();
  return true;
}

// The client's own version with its last number one higher.
QString NextVersion() {
  QList<int> numbers = QVersionNumber::fromString(zv::kApplicationVersion).segments();
  ++numbers.last();
  return QVersionNumber(numbers).toString();
}

class BackendRoutes {
 public:
  BackendRoutes(BackendStore& store, Release& release, QString& linuxVersion)
      : release(release), linuxVersion(linuxVersion), store(store) {
    // One core stays with the event loop, which answers everything else.
    hashing.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
  }

  Release& release;
  QString& linuxVersion;

  void Route(QHttpServer& server) {
    http = &server;
    server.route("/api/v1/auth/login", Method::Post,
                 [this](const QHttpServerRequest& r, QHttpServerResponder&& responder) { Login(r, std::move(responder)); });
    server.route("/api/v1/me", Method::Get, [this](const QHttpServerRequest& r) {
      return Authorized(r, [this](const Holder& holder) { return QHttpServerResponse(store.Profile(holder.account)); });
    });
    server.route("/api/v1/games", Method::Get, [this](const QHttpServerRequest& r) {
      return Authorized(r, [this](const Holder&) { return Items(store.Games()); });
    });
    server.route("/api/v1/games/<arg>/regions", Method::Get, [this](const QString& game, const QHttpServerRequest& r) {
      return Authorized(r, [&](const Holder&) {
        return store.GameExists(game) ? Items(store.Regions(game)) : Message("游戏不存在", Status::NotFound);
      });
    });
    server.route("/api/v1/games/<arg>/regions/<arg>/nodes", Method::Get,
                 [this](const QString& game, const QString& region, const QHttpServerRequest& r) {
                   return Authorized(r, [&](const Holder&) { return Items(store.Nodes(game, region)); });
                 });
    server.route("/api/v1/acceleration/sessions", Method::Post,
                 [this](const QHttpServerRequest& r) { return Authorized(r, [&](const Holder& h) { return Create(r, h); }); });
    server.route("/api/v1/acceleration/sessions/<arg>", Method::Delete,
                 [this](const QString& session, const QHttpServerRequest& r) {
                   return Authorized(r, [&](const Holder& holder) {
                     switch (store.DeleteSession(holder.account, session)) {
                       case BackendStore::Deletion::Deleted: return QHttpServerResponse(Status::NoContent);
                       case BackendStore::Deletion::NotFound: return Message("会话不存在", Status::NotFound);
                       case BackendStore::Deletion::Failed: break;
                     }
                     return Message("服务器暂时无法保存数据，请稍后再试", Status::InternalServerError);
                   });
                 });
    server.route("/api/v1/client/releases/latest", Method::Get, [this](const QHttpServerRequest& r) {
      const QUrlQuery query = r.query();
      const QString platform = query.queryItemValue("platform");
      if (query.queryItemValue("channel") != "alpha" || (platform != "windows-x64" && platform != "linux-x64")) {
        return Message("没有可用的版本", Status::NotFound);
      }
      if (platform == "linux-x64") {  // the package manager brings it: nothing to download here
        return QHttpServerResponse(QJsonObject{{"version", linuxVersion},
                                               {"release_notes", "线路更稳定，断线时提示更清楚。"},
                                               {"mandatory", false}});
      }
      return QHttpServerResponse(QJsonObject{{"version", release.version},
                                             {"download_url", release.downloadUrl},
                                             {"sha256", release.sha256},
                                             {"size_bytes", release.size},
                                             {"release_notes", ""},
                                             {"mandatory", false}});
    });
    server.route("/downloads/<arg>", Method::Get,
                 [this](const QString& name, const QHttpServerRequest&, QHttpServerResponder&& responder) {
                   Download(name, std::move(responder));
                 });
    // Routes answering through a responder log for themselves.
    server.afterRequest([](QHttpServerResponse&& response, const QHttpServerRequest& request) {
      LogExchange(MethodName(request.method()), request.url().path(), static_cast<int>(response.statusCode()));
      return std::move(response);
    });
  }

 private:
  static QHttpServerResponse Items(const QJsonArray& items) { return QJsonObject{{"items", items}}; }

  template <class Handler>
  QHttpServerResponse Authorized(const QHttpServerRequest& request, Handler handler) {
    const QByteArray header = request.value("Authorization");
    const auto holder = header.startsWith("Bearer ") ? store.HolderOfAccessToken(QString::fromLatin1(header.mid(7)))
                                                     : std::nullopt;
    if (!holder) return Message("登录已失效，请重新登录", Status::Unauthorized);
    return handler(*holder);
  }

  void Login(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    static const QString path = "/api/v1/auth/login";
    const auto body = JsonBody(request);
    const QString account = body ? body->value("account").toString() : QString();
    const auto record = account.isEmpty() ? std::nullopt : store.PasswordOf(account);
    if (!record) return Send(std::move(responder), "POST", path, Message("账号或密码错误", Status::Unauthorized));
    // A check is half a second of PBKDF2: off the event loop, everyone else is
    // answered meanwhile. The database stays on this thread.
    auto pending = std::make_shared<QHttpServerResponder>(std::move(responder));
    const QPointer<QTcpSocket> socket = pending->socket();
    QtConcurrent::run(&hashing, [record = *record, password = body->value("password").toString()] {
      return record.Matches(password);
    }).then(http, [this, pending, socket, account, device = body->value("device_id").toString()](bool matches) {
      // Qt 6.4's responder would write to the freed socket of a client that has gone.
      if (!socket) return;
      Send(std::move(*pending), "POST", path, matches ? Tokens(account, device) : Message("账号或密码错误", Status::Unauthorized));
    });
  }

  QHttpServerResponse Tokens(const QString& account, const QString& device) {
    const QString access = store.IssueToken(account, device, "access");
    const QString refresh = store.IssueToken(account, device, "refresh");
    if (access.isEmpty() || refresh.isEmpty()) {
      return Message("服务器暂时无法保存数据，请稍后再试", Status::InternalServerError);
    }
    return QJsonObject{{"access_token", access}, {"refresh_token", refresh}};
  }

  QHttpServerResponse Create(const QHttpServerRequest& request, const Holder& holder) {
    const auto body = JsonBody(request);
    const QString key = body ? body->value("client_public_key").toString() : QString();
    if (QByteArray::fromBase64(key.toLatin1()).size() != 32) return Message("客户端公钥无效", Status::BadRequest);
    const auto session = store.CreateSession(holder, body->value("game_id").toString(),
                                             body->value("region_id").toString(),
                                             body->value("preferred_node_id").toString(), key);
    if (const auto* refusal = std::get_if<Refusal>(&session)) {
      return Message(refusal->message, static_cast<Status>(refusal->status));
    }
    return {std::get<QJsonObject>(session), Status::Created};
  }

  void Download(const QString& name, QHttpServerResponder&& responder) {
    const QString path = "/downloads/" + name;
    auto file = std::make_unique<QFile>(release.path);
    if (release.fileName.isEmpty() || name != release.fileName || !file->open(QIODevice::ReadOnly)) {
      return Send(std::move(responder), "GET", path, Message("安装包不存在", Status::NotFound));
    }
    LogExchange("GET", path, 200);
    // Streamed from the file; the responder takes and frees it.
    responder.write(file.release(), {{"Content-Type", "application/octet-stream"}});
  }

  BackendStore& store;
  QThreadPool hashing;
  QHttpServer* http = nullptr;  // the continuations' context: they run on its thread
};

ReferenceBackend::ReferenceBackend(BackendStore& store)
    : routes(std::make_unique<BackendRoutes>(store, release, linuxVersion)) {}

ReferenceBackend::~ReferenceBackend() = default;

void ReferenceBackend::Route(QHttpServer& server) { routes->Route(server); }

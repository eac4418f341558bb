// zv-backend: a reference backend for Zentravolk on plain HTTP, for running
// the whole product on one machine. Every answer follows the client's backend
// contract; sessions provision the client's key on the node's WireGuard.
//   zv-backend --database FILE --port N [--node ENDPOINT,PUBLIC_KEY[,INTERFACE]]...
//              [--node-interface IF --node-endpoint HOST:PORT --node-public-key KEY] [--node-egress ADDRESS]
//              [--session-expiry SECONDS] [--linux-release-version VERSION]
//              [--tls-certificate PEM --tls-key PEM [--tls-port N]]
//              [--installer FILE --release-version VERSION]   (needs the TLS options)
// The region's nodes are offered in order: each --node, then the one the
// --node-* options name ("Hong Kong Test Node"). A --node without an interface
// is not provisioned here (a node run elsewhere, or one nobody answers at).
// A session whose peer has not shaken hands with its node for the expiry
// (600 s) is ended. With TLS the same API is also served on a second, HTTPS
// port; with an installer the release check offers it for download from that
// port. The Linux release check offers the next version, so the client's
// package manager prompt shows.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUrlQuery>
#include <QVersionNumber>
#include <QtConcurrent>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "app_identity.h"
#include "backend_store.h"
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

// What the release check offers for Windows: by default the client's own version, so no update.
struct Release {
  QString version = zv::kApplicationVersion;
  QString downloadUrl = "https://downloads.zentravolk.com/Zentravolk-Setup.exe";
  QString sha256 = QString(64, '0');
  qint64 size = 1;
  QString path;  // the installer served here, if any
  QString fileName;
};

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

std::optional<QSslConfiguration> TlsConfiguration(const QString& certificatePath, const QString& keyPath,
                                                  QString& error) {
  const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificatePath);
  QFile keyFile(keyPath);
  if (chain.isEmpty() || !keyFile.open(QIODevice::ReadOnly)) {
    error = "cannot read the TLS certificate or key";
    return std::nullopt;
  }
  const QByteArray pem = keyFile.readAll();
  QSslKey key;
  for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
    if (key = QSslKey(pem, algorithm); !key.isNull()) break;
  }
  if (key.isNull()) {
    error = "the TLS key is neither an RSA nor an EC key in PEM";
    return std::nullopt;
  }
  QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
  configuration.setLocalCertificateChain(chain);
  configuration.setPrivateKey(key);
  return configuration;
}

// The client's own version with its last number one higher.
QString NextVersion() {
  QList<int> numbers = QVersionNumber::fromString(zv::kApplicationVersion).segments();
  ++numbers.last();
  return QVersionNumber(numbers).toString();
}

class Backend {
 public:
  explicit Backend(BackendStore& store) : store(store) {
    // One core stays with the event loop, which answers everything else.
    hashing.setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
  }

  Release release;
  QString linuxVersion = NextVersion();

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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QCommandLineParser parser;
  const QCommandLineOption database("database", "SQLite file", "file", "zv-backend.sqlite");
  const QCommandLineOption port("port", "loopback port (0: any)", "port", "0");
  const QCommandLineOption interfaceName("node-interface", "the node's WireGuard interface", "name");
  const QCommandLineOption endpoint("node-endpoint", "the node's host:port", "endpoint");
  const QCommandLineOption publicKey("node-public-key", "the node's public key", "key");
  const QCommandLineOption egress("node-egress", "the node's egress address", "address", "203.0.113.10");
  const QCommandLineOption certificate("tls-certificate", "PEM certificate (chain) of the HTTPS port", "pem");
  const QCommandLineOption key("tls-key", "PEM private key of the HTTPS port", "pem");
  const QCommandLineOption tlsPort("tls-port", "loopback HTTPS port (0: any)", "port", "0");
  const QCommandLineOption installer("installer", "installer offered by the release check", "file");
  const QCommandLineOption version("release-version", "the installer's version", "version");
  const QCommandLineOption node("node", "a node offered first (repeatable)", "endpoint,public-key[,interface]");
  const QCommandLineOption expiry("session-expiry", "seconds a session may go unseen on its node", "seconds", "600");
  const QCommandLineOption linuxVersion("linux-release-version", "the Linux release offered", "version");
  parser.addOptions({database, port, interfaceName, endpoint, publicKey, egress, certificate, key, tlsPort,
                     installer, version, node, expiry, linuxVersion});
  parser.process(application);
  const bool named = parser.isSet(interfaceName) || parser.isSet(endpoint) || parser.isSet(publicKey);
  if (named && !(parser.isSet(interfaceName) && parser.isSet(endpoint) && parser.isSet(publicKey))) {
    std::fprintf(stderr, "zv-backend: --node-interface, --node-endpoint and --node-public-key go together\n");
    return 2;
  }
  QList<NodeSettings> nodes;
  for (const QString& given : parser.values(node)) {
    const QStringList fields = given.split(',');
    if (fields.size() < 2 || fields.size() > 3 || fields[0].isEmpty() || fields[1].isEmpty()) {
      std::fprintf(stderr, "zv-backend: --node %s is not ENDPOINT,PUBLIC_KEY[,INTERFACE]\n", qPrintable(given));
      return 2;
    }
    nodes.append({QString("Hong Kong Node %1").arg(nodes.size() + 1), fields.value(2), fields[0], fields[1],
                  parser.value(egress)});
  }
  if (named) {
    nodes.append({"Hong Kong Test Node", parser.value(interfaceName), parser.value(endpoint), parser.value(publicKey),
                  parser.value(egress)});
  }
  const qint64 unseenSeconds = parser.value(expiry).toLongLong();
  if (nodes.isEmpty() || unseenSeconds < 1) {
    std::fprintf(stderr, "zv-backend: at least one node (--node, or --node-interface with its endpoint and key) "
                         "and a session expiry of a second or more are needed\n");
    return 2;
  }
  const bool tls = parser.isSet(certificate) || parser.isSet(key);
  if (tls && !(parser.isSet(certificate) && parser.isSet(key))) {
    std::fprintf(stderr, "zv-backend: --tls-certificate and --tls-key go together\n");
    return 2;
  }
  const bool offering = parser.isSet(installer) || parser.isSet(version);
  if (offering && !(parser.isSet(installer) && parser.isSet(version) && tls)) {
    // The client downloads only over HTTPS.
    std::fprintf(stderr, "zv-backend: --installer needs --release-version, --tls-certificate and --tls-key\n");
    return 2;
  }

  BackendStore store;
  QString error;
  if (!store.Open(parser.value(database), nodes, error)) {
    std::fprintf(stderr, "zv-backend: %s\n", qPrintable(error));
    return 1;
  }
  QTimer expiring;
  QObject::connect(&expiring, &QTimer::timeout, [&] { store.ExpireSessions(unseenSeconds); });
  expiring.start(static_cast<int>(std::clamp<qint64>(unseenSeconds / 2, 1, 60) * 1000));
  Backend backend(store);
  if (parser.isSet(linuxVersion)) backend.linuxVersion = parser.value(linuxVersion);
  if (offering && !DescribeInstaller(parser.value(installer), backend.release, error)) {
    std::fprintf(stderr, "zv-backend: %s\n", qPrintable(error));
    return 1;
  }
  QHttpServer server;
  backend.Route(server);
  if (tls) {
    const auto configuration = TlsConfiguration(parser.value(certificate), parser.value(key), error);
    if (!configuration) {
      std::fprintf(stderr, "zv-backend: %s\n", qPrintable(error));
      return 1;
    }
    auto* secure = new BoundedSslServer;
    secure->setParent(&server);
    secure->setSslConfiguration(*configuration);
    if (!secure->listen(QHostAddress::LocalHost, parser.value(tlsPort).toUShort())) {
      std::fprintf(stderr, "zv-backend: cannot listen on 127.0.0.1:%s\n", qPrintable(parser.value(tlsPort)));
      return 1;
    }
    server.bind(secure);
    if (offering) {
      backend.release.version = parser.value(version);
      backend.release.downloadUrl = QString("https://127.0.0.1:%1/downloads/%2")
                                        .arg(secure->serverPort())
                                        .arg(QString::fromLatin1(QUrl::toPercentEncoding(backend.release.fileName)));
    }
    // Not "listening on": the scripts take that line as the plain port.
    std::printf("zv-backend: HTTPS on https://127.0.0.1:%u\n", secure->serverPort());
  }
  auto* plain = new BoundedTcpServer;
  plain->setParent(&server);
  if (!plain->listen(QHostAddress::LocalHost, parser.value(port).toUShort())) {
    std::fprintf(stderr, "zv-backend: cannot listen on 127.0.0.1:%s\n", qPrintable(parser.value(port)));
    return 1;
  }
  server.bind(plain);
  std::printf("zv-backend: listening on http://127.0.0.1:%u\n", plain->serverPort());
  std::fflush(stdout);
  return application.exec();
}

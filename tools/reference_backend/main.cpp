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
#include "reference_backend.h"

namespace {

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
  ReferenceBackend backend(store);
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

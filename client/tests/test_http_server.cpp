#include "test_http_server.h"

#include <QFile>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpSocket>
#include <QTimer>

namespace zv::test {
namespace {

QByteArray ReadData(const char* name) {
  QFile file(QStringLiteral(ZV_TEST_DATA "/") + name);
  file.open(QIODevice::ReadOnly);
  return file.readAll();
}

}  // namespace

void TrustTestCertificate() {
  QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
  configuration.addCaCertificates(QSslCertificate::fromData(ReadData("loopback.crt")));
  QSslConfiguration::setDefaultConfiguration(configuration);
}

TestHttpServer::TestHttpServer(bool tls) : tls(tls) {
  if (tls) {
    auto secure = std::make_unique<QSslServer>();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(QSslCertificate(ReadData("loopback.crt")));
    configuration.setPrivateKey(QSslKey(ReadData("loopback.key"), QSsl::Rsa));
    secure->setSslConfiguration(configuration);
    server = std::move(secure);
  } else {
    server = std::make_unique<QTcpServer>();
  }
  connect(server.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
    while (QTcpSocket* socket = server->nextPendingConnection()) Serve(socket);
  });
  server->listen(QHostAddress::LocalHost);
}

QByteArray TestHttpServer::Origin() const {
  return (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + QByteArray::number(Port());
}

void TestHttpServer::Serve(QTcpSocket* socket) {
  auto buffer = std::make_shared<QByteArray>();
  connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
    buffer->append(socket->readAll());
    const qsizetype end = buffer->indexOf("\r\n\r\n");
    if (end < 0) return;
    HttpExchange exchange;
    const QList<QByteArray> lines = buffer->left(end).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    exchange.method = requestLine.value(0);
    exchange.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
      const qsizetype colon = lines[i].indexOf(':');
      if (colon <= 0) continue;
      // Only the line end and the blanks after the colon go: a value may end in a blank.
      QByteArray value = lines[i].mid(colon + 1);
      value.chop(value.endsWith('\r') ? 1 : 0);
      while (value.startsWith(' ')) value.remove(0, 1);
      exchange.headers[lines[i].left(colon).trimmed().toLower()] = value;
    }
    const qsizetype length = exchange.headers.value("content-length", "0").toLongLong();
    if (buffer->size() < end + 4 + length) return;
    exchange.body = buffer->mid(end + 4, length);
    buffer->clear();
    received.append(exchange);

    const HttpAnswer answer = this->answer(exchange);
    if (answer.silent) return;
    QByteArray response = "HTTP/1.1 " + QByteArray::number(answer.status) + " Scripted\r\n";
    if (answer.status != 204 && answer.status != 304) {
      response += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
                  "\r\n";
    }
    response += "Connection: close\r\n\r\n";
    if (answer.status != 204 && answer.status != 304) response += answer.body;
    const bool stall = answer.stallAfter >= 0;
    if (stall) response.chop(answer.body.size() - answer.stallAfter);
    QTimer::singleShot(answer.delayMs, socket, [socket, response, stall] {
      socket->write(response);
      if (!stall) socket->disconnectFromHost();
    });
  });
}

}  // namespace zv::test

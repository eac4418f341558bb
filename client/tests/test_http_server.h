// A small HTTP/1.1 server on loopback for the client's tests: it records every
// request as received and answers each with what the test scripts.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QTcpServer>
#include <functional>
#include <memory>

namespace zv::test {

struct HttpExchange {
  QByteArray method;
  QByteArray target;                    // path and query
  QMap<QByteArray, QByteArray> headers;  // names in lower case
  QByteArray body;
};

struct HttpAnswer {
  int status = 200;
  QByteArray body = "{}";
  bool silent = false;       // never answer at all
  int delayMs = 0;           // answer this much later
  qsizetype stallAfter = -1;  // send the headers and this much of the body, then nothing more
};

class TestHttpServer : public QObject {
 public:
  explicit TestHttpServer(bool tls = false);
  quint16 Port() const { return server->serverPort(); }
  QByteArray Origin() const;  // scheme, loopback address and port

  std::function<HttpAnswer(const HttpExchange&)> answer = [](const HttpExchange&) { return HttpAnswer{}; };
  QList<HttpExchange> received;

 private:
  void Serve(QTcpSocket* socket);
  std::unique_ptr<QTcpServer> server;
  bool tls;
};

// Makes every TLS connection of this process trust the server's test certificate.
void TrustTestCertificate();

}  // namespace zv::test
